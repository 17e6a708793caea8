// Choosing a format by name or extension, dispatching to its reader and writer, the
// --decode and --render passes, and the line and word splitting the readers share.
#include "formats.h"

#include <algorithm>
#include <cctype>

#include "protocols.h"

namespace irlib {
namespace {

// The comment before each remote of a .ir file that holds several.
constexpr std::string_view kRemoteComment = " remote ";

}  // namespace

std::optional<Format> FormatNamed(std::string_view name) {
    if (name == "ir") return Format::Ir;
    if (name == "pronto") return Format::Pronto;
    if (name == "lirc") return Format::Lirc;
    if (name == "csv") return Format::Csv;
    return std::nullopt;
}

std::optional<Format> FormatOfPath(std::string_view path) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.rfind('.');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return std::nullopt;
    std::string ext(path.substr(dot + 1));
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    if (ext == "ir") return Format::Ir;
    if (ext == "pronto" || ext == "hex") return Format::Pronto;
    if (ext == "conf" || ext == "lirc" || ext == "lircd") return Format::Lirc;
    if (ext == "csv") return Format::Csv;
    return std::nullopt;
}

std::string_view FormatExtension(Format format) {
    switch (format) {
    case Format::Ir: return ".ir";
    case Format::Pronto: return ".pronto";
    case Format::Lirc: return ".lircd.conf";
    case Format::Csv: return ".csv";
    }
    return "";
}

std::vector<std::string_view> TextLines(std::string_view text) {
    std::vector<std::string_view> lines;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // a UTF-8 byte order mark
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        pos = end + 1;
    }
    return lines;
}

bool ReadRemotes(Format format, std::string_view text, const std::string& path,
                 std::vector<Remote>& out, std::vector<Problem>& problems) {
    std::string name = path.substr(path.find_last_of('/') + 1);
    if (const size_t dot = name.find('.'); dot != std::string::npos && dot > 0) name.resize(dot);
    out.clear();
    Remote one;
    switch (format) {
    case Format::Ir: {
        std::string error;
        one.name = name;
        if (!ParseIrFile(text, one.file, error)) {
            problems.push_back({1, error});
            return false;
        }
        // A file that WriteRemotes made of several remotes (it starts with the comment of
        // the first) splits at their comments again.
        auto starts = [](const Item& item) {
            return item.kind == Item::Kind::Comment && item.text.rfind(kRemoteComment, 0) == 0;
        };
        if (one.file.items.empty() || !starts(one.file.items[0])) break;
        for (const Item& item : one.file.items) {
            if (starts(item)) {
                out.push_back({item.text.substr(kRemoteComment.size()), IrFile{one.file.filetype, one.file.version, {}}});
            } else if (!out.empty()) {
                out.back().file.items.push_back(item);
            }
        }
        return true;
    }
    case Format::Pronto:
        if (!ReadPronto(text, name, one, problems)) return false;
        break;
    case Format::Csv:
        if (!ReadCsv(text, path, one, problems)) return false;
        break;
    case Format::Lirc:
        return ReadLirc(text, out, problems);
    }
    out.push_back(std::move(one));
    return true;
}

std::string WriteRemotes(Format format, const std::vector<Remote>& remotes,
                         std::vector<Problem>& problems) {
    switch (format) {
    case Format::Ir: {
        if (remotes.size() == 1) return WriteIrFile(remotes[0].file);
        // Several remotes (a lircd.conf) in one file: each behind a comment with its name.
        IrFile merged;
        for (const Remote& r : remotes) {
            Item comment;
            comment.kind = Item::Kind::Comment;
            comment.text = std::string(kRemoteComment) + r.name;
            merged.items.push_back(comment);
            merged.items.insert(merged.items.end(), r.file.items.begin(), r.file.items.end());
        }
        return WriteIrFile(merged);
    }
    case Format::Pronto: return WritePronto(remotes, problems);
    case Format::Lirc: return WriteLirc(remotes, problems);
    case Format::Csv: return WriteCsv(remotes, problems);
    }
    return "";
}

void DecodeRaw(IrFile& file) {
    for (Item& item : file.items)
        if (item.kind == Item::Kind::Signal && item.signal.type == Signal::Type::Raw)
            if (auto parsed = DecodeSignal(item.signal)) item.signal = *parsed;
}

void RenderParsed(IrFile& file, std::vector<Problem>& problems) {
    for (Item& item : file.items) {
        if (item.kind != Item::Kind::Signal || item.signal.type != Signal::Type::Parsed) continue;
        Signal raw;
        std::string error;
        if (RenderSignal(item.signal, raw, error)) item.signal = std::move(raw);
        else problems.push_back({0, item.signal.name + ": " + error + "; kept as parsed"});
    }
}

}  // namespace irlib
