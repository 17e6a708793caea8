// convert: one file from any of the formats to any other, without a library. Every line
// that could not be read and every signal that could not be written is reported; the rest
// is converted, and the exit status says whether anything was left out.
#include <cstdio>
#include <fstream>
#include <sstream>

#include "cli.h"
#include "formats.h"

namespace irlib {
namespace {

bool Choose(const Args& args, const char* option, const std::string& path, Format& out, std::string& error) {
    if (args.Has(option)) {
        const auto named = FormatNamed(args.Get(option));
        if (!named) error = std::string("unknown ") + option + " " + args.Get(option);
        out = named.value_or(Format::Ir);
        return named.has_value();
    }
    const auto byPath = FormatOfPath(path);
    if (!byPath) error = "cannot tell the format of " + path + " from its extension; give " + option;
    out = byPath.value_or(Format::Ir);
    return byPath.has_value();
}

}  // namespace

int RunConvert(const Args& args) {
    const std::string& in = args.positional[0];
    const std::string& out = args.positional[1];
    Format from, to;
    std::string error;
    if (!Choose(args, "--from", in, from, error) || !Choose(args, "--format", out, to, error))
        return UsageError(args.command, error);

    std::ifstream file(in, std::ios::binary);
    if (!file) return Fail(in, "cannot read");
    std::ostringstream text;
    text << file.rdbuf();
    std::vector<Remote> remotes;
    std::vector<Problem> problems;
    const bool read = ReadRemotes(from, text.str(), in, remotes, problems);
    size_t skipped = problems.size();
    for (const Problem& p : problems)
        std::fprintf(stderr, "irlib: %s%s: %s\n", in.c_str(), p.line ? (":" + std::to_string(p.line)).c_str() : "",
                     p.reason.c_str());
    if (!read) return kExitFailure;

    problems.clear();
    size_t signals = 0;
    for (Remote& r : remotes) {
        if (args.Has("--decode")) DecodeRaw(r.file);
        if (args.Has("--render")) RenderParsed(r.file, problems);
        signals += r.file.SignalCount();
    }
    const std::string result = WriteRemotes(to, remotes, problems);
    skipped += problems.size();
    for (const Problem& p : problems) std::fprintf(stderr, "irlib: %s: %s\n", out.c_str(), p.reason.c_str());
    std::ofstream target(out, std::ios::binary | std::ios::trunc);
    target << result;
    target.close();
    if (target.fail()) return Fail(out, "cannot write");
    std::printf("converted %zu remotes, %zu signals from %s to %s; %zu problems\n", remotes.size(), signals,
                in.c_str(), out.c_str(), skipped);
    return skipped ? kExitFailure : kExitOk;
}

}  // namespace irlib
