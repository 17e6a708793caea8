// find: which remotes of a library hold a code, given as protocol/address/command, a Pronto
// code, raw timings (decoded first, else matched by timing with the tolerance) or a glob on
// button names. One pass over the records; each raw signal is decoded once.
#include <cctype>
#include <cstdio>

#include "cli.h"
#include "codes.h"
#include "json.h"
#include "names.h"
#include "pronto.h"

namespace irlib {
namespace {

bool ParseValue(const std::string& s, uint32_t& out) {
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        if (s.size() > 10) return false;
        uint32_t v = 0;
        for (size_t i = 2; i < s.size(); ++i) {
            const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(s[i])));
            const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (d < 0) return false;
            v = v * 16 + static_cast<uint32_t>(d);
        }
        out = v;
        return true;
    }
    unsigned long v = 0;
    if (!ParseNumber(s, 0xFFFFFFFFul, v)) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

// '*' and '?' wildcards, ASCII letters compared without case, as the library compares names.
bool Glob(std::string_view pattern, std::string_view text) {
    size_t p = 0, t = 0, star = std::string_view::npos, mark = 0;
    auto same = [](char a, char b) { return fmt::FoldCase(a) == fmt::FoldCase(b); };
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || same(pattern[p], text[t]))) {
            ++p, ++t;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

std::string Hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", v);
    return buf;
}

}  // namespace

int RunFind(const Args& args) {
    const std::string& file = args.positional[0];
    const int given = args.Has("--code") + args.Has("--pronto") + args.Has("--raw") + args.Has("--name");
    if (given != 1) return UsageError(args.command, "give exactly one of --code, --pronto, --raw, --name");
    if (!args.Has("--code") && args.positional.size() > 1)
        return UsageError(args.command, "too many arguments");

    bool byCode = false;
    Code code;
    std::vector<uint32_t> timings;
    uint32_t frequency = 0;
    if (args.Has("--code")) {
        std::vector<std::string> parts;
        std::string word;
        for (char c : args.Get("--code") + " ") {
            if (c == ' ') {
                if (!word.empty()) parts.push_back(word);
                word.clear();
            } else {
                word += c;
            }
        }
        parts.insert(parts.end(), args.positional.begin() + 1, args.positional.end());
        if (parts.size() != 3 || !ParseValue(parts[1], code.address) || !ParseValue(parts[2], code.command))
            return UsageError(args.command, "--code needs PROTOCOL ADDRESS COMMAND (numbers decimal or 0x hex)");
        code.protocol = parts[0];
        Rendering unused;
        std::string error;
        if (!Render(code, unused, error)) return UsageError(args.command, error);
        byCode = true;
    } else if (args.Has("--pronto")) {
        ProntoCode pronto;
        std::string error;
        if (!ParsePronto(args.Get("--pronto"), pronto, error)) return UsageError(args.command, "--pronto: " + error);
        timings = ProntoTimings(pronto);
        frequency = pronto.frequency;
    } else if (args.Has("--raw")) {
        std::string word;
        for (char c : args.Get("--raw") + " ") {
            if (c == ' ' || c == ',' || c == '\t') {
                uint32_t v = 0;
                if (!word.empty() && (!ParseValue(word, v) || v == 0))
                    return UsageError(args.command, "--raw: \"" + word + "\" is not a duration");
                if (!word.empty()) timings.push_back(v);
                word.clear();
            } else {
                word += c;
            }
        }
        if (timings.empty()) return UsageError(args.command, "--raw needs durations");
    }
    if (!timings.empty()) {
        if (auto d = Decode(timings, frequency)) {
            code = d->code;
            byCode = true;
        }
    }
    if (byCode) code = Canonical(code);

    struct Hit { std::string manufacturer, type, model, button; };
    std::vector<Hit> hits;
    const std::string pattern = args.Get("--name");
    size_t remotes = 0, unreadable = 0;
    std::string error;
    auto visit = [&](const StoredRemote& r) {
        ++remotes;
        for (const Button& b : r.buttons) {
            const bool hit = args.Has("--name") ? Glob(pattern, b.name)
                             : byCode           ? b.decoded && b.code == code
                                                : b.raw && TimingsMatch(timings, b.raw->timings);
            if (hit) hits.push_back({r.manufacturer, r.type, r.model, b.name});
        }
    };
    if (!ForEachRemote(file, visit, unreadable, error)) return Fail(file, error);

    const std::string query = byCode ? code.protocol + " " + Hex(code.address) + " " + Hex(code.command) : "";
    if (args.Has("--json")) {
        Json out;
        out.BeginObject();
        if (byCode) out.Key("code").BeginObject().Field("protocol", code.protocol)
                        .Field("address", static_cast<size_t>(code.address))
                        .Field("command", static_cast<size_t>(code.command)).EndObject();
        out.Key("matches").BeginArray();
        for (const Hit& h : hits)
            out.BeginObject().Field("manufacturer", h.manufacturer).Field("type", h.type)
                .Field("model", h.model).Field("button", h.button).EndObject();
        out.EndArray().Field("remotes", remotes).Field("unreadable", unreadable).EndObject();
        std::fputs(out.Text().c_str(), stdout);
    } else {
        if (!timings.empty())
            std::printf("%s\n", byCode ? ("decoded as " + query).c_str() : "does not decode; matching by timing");
        for (const Hit& h : hits)
            std::printf("%s / %s / %s / %s\n", h.manufacturer.c_str(), h.type.c_str(), h.model.c_str(),
                        h.button.c_str());
        std::printf("%zu matches in %zu remotes\n", hits.size(), remotes);
    }
    if (unreadable) return Fail(file, std::to_string(unreadable) + " records could not be read; not searched");
    return kExitOk;
}

}  // namespace irlib
