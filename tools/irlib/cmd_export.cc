// export: every remote of a library back to .ir files under a directory, at the relative
// path it was imported from. Parts of a split remote are joined in part order; a remote
// with parts missing is still written, and reported, so that nothing silently shrinks.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "cli.h"
#include "formats.h"
#include "json.h"
#include "library.h"
#include "progress.h"
#include "remote_codec.h"

namespace irlib {
namespace {

namespace fs = std::filesystem;

struct Piece {
    std::string key;  // "manufacturer / type / model", for messages
    RemoteInfo info;
    IrFile file;
};

struct Issue {
    std::string what;
    std::string reason;
};

bool WriteFile(const fs::path& path, const std::string& text) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return !out.fail();
}

// `path`, or "<stem>~N.ir" beside it when an earlier remote of this export took it.
std::string FreePath(const std::string& path, const std::set<std::string>& used) {
    if (!used.count(path)) return path;
    std::string stem = path, ext;
    if (const size_t dot = path.rfind('.'); dot != std::string::npos && dot > path.rfind('/') + 1) {
        stem = path.substr(0, dot);
        ext = path.substr(dot);
    }
    for (unsigned n = 2;; ++n) {
        const std::string candidate = stem + "~" + std::to_string(n) + ext;
        if (!used.count(candidate)) return candidate;
    }
}

}  // namespace

int RunExport(const Args& args) {
    const std::string& file = args.positional[0];
    const fs::path dir(args.positional[1]);
    Format format = Format::Ir;
    if (args.Has("--format")) {
        const auto named = FormatNamed(args.Get("--format"));
        if (!named) return UsageError(args.command, "unknown --format " + args.Get("--format"));
        format = *named;
    }
    const Stopwatch clock;
    Library library;
    std::string error;
    if (!library.Open(file, Library::Access::Read, false, error)) return Fail(file, error);

    // Every record, in library order.
    struct Key { std::string m, t, model; };
    std::vector<Key> keys;
    for (const auto& m : library.Manufacturers())
        for (const auto& t : library.Types(m).value_or(std::vector<std::string>{}))
            for (const auto& model : library.Models(m, t).value_or(std::vector<std::string>{}))
                keys.push_back({m, t, model});

    std::vector<Issue> problems;
    std::vector<std::vector<Piece>> remotes;    // each: its parts, in library order
    std::map<std::string, size_t> splitByPath;  // path of a split remote -> its remotes index
    Progress progress("reading", keys.size());
    for (size_t i = 0; i < keys.size(); ++i) {
        progress.Update(i);
        const Key& k = keys[i];
        const std::string name = k.m + " / " + k.t + " / " + k.model;
        std::vector<uint8_t> image;
        if (!library.Fetch(k.m, k.t, k.model, image)) {
            problems.push_back({name, "record is damaged (it does not verify)"});
            continue;
        }
        DecodedRemote decoded;
        if (!DecodeRemote(image, decoded, error)) {
            problems.push_back({name, "not an IR remote: " + error});
            continue;
        }
        Piece piece{name, decoded.info, std::move(decoded.file)};
        if (piece.info.parts > 1) {
            auto [it, added] = splitByPath.emplace(piece.info.path, remotes.size());
            if (added) remotes.emplace_back();
            remotes[it->second].push_back(std::move(piece));
        } else {
            remotes.push_back({std::move(piece)});
        }
    }
    progress.Finish();
    library.Close();

    std::set<std::string> used;
    size_t written = 0, records = 0, signals = 0;
    Progress writing("writing", remotes.size());
    for (size_t r = 0; r < remotes.size(); ++r) {
        writing.Update(r);
        auto& parts = remotes[r];
        std::sort(parts.begin(), parts.end(),
                  [](const Piece& a, const Piece& b) { return a.info.part < b.info.part; });
        const RemoteInfo& first = parts.front().info;
        IrFile merged = parts.front().file;
        merged.items.clear();
        std::string missing;
        uint16_t expect = 1;
        for (const Piece& p : parts) {
            if (p.info.part < expect) {
                problems.push_back({p.key, "part " + std::to_string(p.info.part) + " of " +
                                               first.path + " stored twice; this copy left out"});
                continue;
            }
            for (; expect < p.info.part; ++expect) missing.append(" ").append(std::to_string(expect));
            ++expect;
            merged.items.insert(merged.items.end(), p.file.items.begin(), p.file.items.end());
            ++records;
        }
        for (; expect <= first.parts; ++expect) missing.append(" ").append(std::to_string(expect));
        if (!missing.empty())
            problems.push_back({first.path, "incomplete: part(s)" + missing + " of " +
                                                std::to_string(first.parts) + " missing; written without them"});
        if (args.Has("--decode")) DecodeRaw(merged);
        std::vector<Problem> unwritten;
        if (args.Has("--render")) RenderParsed(merged, unwritten);
        std::string path = first.path;
        if (format != Format::Ir) {
            if (const size_t dot = path.rfind('.'); dot != std::string::npos && dot > path.rfind('/') + 1)
                path.resize(dot);
            path += FormatExtension(format);
        }
        if (!IsSafeRelativePath(path)) {
            const std::string safe = SafeRelativePath(path);
            problems.push_back({parts.front().key, "unsafe path \"" + path + "\" written as " + safe});
            path = safe;
        }
        const std::string target = FreePath(path, used);
        if (target != path)
            problems.push_back({parts.front().key, path + " already written by another remote; written as " + target});
        used.insert(target);
        const std::string name = fs::path(first.path).stem().string();
        const std::string text = format == Format::Ir ? WriteIrFile(merged)
                                                      : WriteRemotes(format, {Remote{name, merged}}, unwritten);
        for (const Problem& p : unwritten) problems.push_back({target, p.reason});
        if (!WriteFile(dir / target, text)) {
            writing.Finish();
            return Fail((dir / target).string(), "cannot write");
        }
        ++written;
        signals += merged.SignalCount();
    }
    writing.Finish();
    const double seconds = clock.Seconds();

    if (args.Has("--json")) {
        Json out;
        out.BeginObject().Field("file", file).Field("directory", dir.string());
        out.Field("remotes", written).Field("records", records).Field("signals", signals);
        out.Field("seconds", seconds).Key("problems").BeginArray();
        for (const Issue& p : problems)
            out.BeginObject().Field("what", p.what).Field("reason", p.reason).EndObject();
        out.EndArray().EndObject();
        std::fputs(out.Text().c_str(), stdout);
    } else {
        std::printf("exported %zu remotes (%zu records), %zu signals to %s in %.2f s\n", written,
                    records, signals, dir.string().c_str(), seconds);
        std::printf("problems: %zu\n", problems.size());
        for (const Issue& p : problems) std::printf("  %s: %s\n", p.what.c_str(), p.reason.c_str());
    }
    if (!problems.empty())
        return Fail(file, problems.front().what + ": " + problems.front().reason +
                              (problems.size() > 1 ? " (and " + std::to_string(problems.size() - 1) +
                                                         " more; see the summary)"
                                                   : ""));
    return kExitOk;
}

}  // namespace irlib
