// The file formats irlib converts between: .ir (the default, lossless), Pronto hex, LIRC
// lircd.conf and irdb CSV. Each reader keeps going past a malformed line and reports it with
// its line number; each writer reports every signal it could not write.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "irfile.h"

namespace irlib {

enum class Format { Ir, Pronto, Lirc, Csv };

// "ir", "pronto", "lirc", "csv".
std::optional<Format> FormatNamed(std::string_view name);
// By extension: .ir; .pronto, .hex; .conf, .lirc, .lircd; .csv.
std::optional<Format> FormatOfPath(std::string_view path);
// The extension a writer's files get, with its dot.
std::string_view FormatExtension(Format format);

// One thing in the input that could not be read or written. Line 0: not tied to a line.
struct Problem {
    size_t line = 0;
    std::string reason;
};

struct Remote {
    std::string name;
    IrFile file;
};

// Reads a whole file. `name` names the remote of a format that has no remote names, and
// `path` is the file's path (irdb CSV takes manufacturer and type from its directories).
// False only when nothing at all could be read; problems are collected either way.
bool ReadRemotes(Format format, std::string_view text, const std::string& path,
                 std::vector<Remote>& out, std::vector<Problem>& problems);

// The text of `remotes` in `format`; signals it cannot hold are left out and reported.
std::string WriteRemotes(Format format, const std::vector<Remote>& remotes,
                         std::vector<Problem>& problems);

// --decode: raw signals that decode cleanly become parsed. --render: parsed signals become
// raw; one that cannot be rendered stays parsed and is reported.
void DecodeRaw(IrFile& file);
void RenderParsed(IrFile& file, std::vector<Problem>& problems);

// Per format; the dispatch above calls these.
bool ReadPronto(std::string_view text, const std::string& name, Remote& out,
                std::vector<Problem>& problems);
std::string WritePronto(const std::vector<Remote>& remotes, std::vector<Problem>& problems);
bool ReadLirc(std::string_view text, std::vector<Remote>& out, std::vector<Problem>& problems);
std::string WriteLirc(const std::vector<Remote>& remotes, std::vector<Problem>& problems);
bool ReadCsv(std::string_view text, const std::string& path, Remote& out,
             std::vector<Problem>& problems);
std::string WriteCsv(const std::vector<Remote>& remotes, std::vector<Problem>& problems);

// Text helpers shared by the readers.
std::vector<std::string_view> TextLines(std::string_view text);

}  // namespace irlib
