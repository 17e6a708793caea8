// import and put: .ir files into a library. import walks directory trees, maps each file's
// relative path to names, stores it with StoreRemote and prints a summary; put stores one
// file under names given on the command line.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "cli.h"
#include "formats.h"
#include "json.h"
#include "library.h"
#include "progress.h"
#include "store.h"

namespace irlib {
namespace {

namespace fs = std::filesystem;

struct Source {
    std::string fullPath;
    std::string relativePath;
    Format format = Format::Ir;
};

bool ReadText(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream s;
    s << in.rdbuf();
    text = s.str();
    return !in.bad();
}

bool Hidden(const fs::path& p) {
    const std::string name = p.filename().string();
    return !name.empty() && name[0] == '.';
}

// The files of `format` below `root`, depth first, each directory's entries in byte order,
// so that the same tree always imports in the same order (and so gets the same names).
void Collect(const fs::path& root, const fs::path& dir, Format format, std::vector<Source>& out) {
    std::error_code ec;
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        entries.push_back(*it);
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.path().filename() < b.path().filename(); });
    for (const auto& e : entries) {
        if (Hidden(e.path())) continue;
        if (e.is_directory(ec) && !e.is_symlink(ec)) {
            Collect(root, e.path(), format, out);
        } else if (e.is_regular_file(ec) && FormatOfPath(e.path().string()) == format) {
            out.push_back({e.path().string(), e.path().lexically_relative(root).generic_string(), format});
        }
    }
}

// Where a remote read from another format is filed: an irdb CSV by its directories
// (<Manufacturer>/<Type>/<file>.csv), anything else at its own path as .ir; a file with
// several remotes (a lircd.conf) becomes a directory of them.
std::string ImportPath(const Source& src, const Remote& remote, size_t remotes) {
    const fs::path rel(src.relativePath);
    if (src.format == Format::Csv) {
        const fs::path full = fs::absolute(fs::path(src.fullPath)).lexically_normal();
        const std::string type = full.parent_path().filename().string();
        const std::string maker = full.parent_path().parent_path().filename().string();
        return (type.empty() ? std::string(kNoName) : type) + "/" +
               (maker.empty() ? std::string(kNoName) : maker) + "/" + full.stem().string() + ".ir";
    }
    std::string stem = rel.generic_string();
    const std::string name = rel.filename().string();
    if (const size_t dot = name.find('.'); dot != std::string::npos && dot > 0)
        stem.resize(stem.size() - (name.size() - dot));
    return remotes > 1 ? stem + "/" + remote.name + ".ir" : stem + ".ir";
}

bool ParseExtraSpace(const Args& args, unsigned long& extra) {
    extra = 0;
    return !args.Has("--extra-space") || ParseNumber(args.Get("--extra-space"), fmt::kMaxRecordSize - fmt::kRecordHeaderSize, extra);
}

bool NotListed(const std::vector<Shortened>& list, const std::string& level, const std::string& original) {
    for (const Shortened& s : list)
        if (s.level == level && s.original == original) return false;
    return true;
}

}  // namespace

int RunPut(const Args& args) {
    const std::string& file = args.positional[0];
    const std::string& irPath = args.positional[4];
    unsigned long extra = 0;
    if (!ParseExtraSpace(args, extra)) return UsageError(args.command, "bad --extra-space");
    std::string text, error;
    if (!ReadText(irPath, text)) return Fail(irPath, "cannot read");
    IrFile ir;
    if (!ParseIrFile(text, ir, error)) return Fail(irPath, error);
    const CatalogueNames originals{args.positional[2], args.positional[1], args.positional[3]};
    Library library;
    if (!library.Open(file, Library::Access::Write, args.Has("--override-protection"), error))
        return Fail(file, error);
    library.SetExtraSpace(static_cast<uint16_t>(extra));
    StoreResult result;
    if (!StoreRemote(library, DefaultPath(originals), originals, ir, kMaxRecordSize - extra, result, error))
        return Fail(irPath, error);
    library.Close();
    if (args.Has("--json")) {
        Json out;
        out.BeginObject().Field("manufacturer", result.stored.manufacturer);
        out.Field("type", result.stored.type).Key("models").BeginArray();
        for (const auto& m : result.partModels) out.String(m);
        out.EndArray().Field("signals", result.signals).Field("replaced", result.replaced).EndObject();
        std::fputs(out.Text().c_str(), stdout);
    } else {
        std::printf("%s %s / %s / %s: %zu signals", result.replaced ? "replaced" : "stored",
                    result.stored.manufacturer.c_str(), result.stored.type.c_str(),
                    result.stored.model.c_str(), result.signals);
        if (result.partModels.size() > 1) std::printf(" in %zu parts", result.partModels.size());
        std::printf("\n");
        for (const Shortened& s : result.shortened)
            std::printf("  shortened %s \"%s\" -> \"%s\"\n", s.level.c_str(), s.original.c_str(), s.stored.c_str());
        for (const Collision& c : result.collisions)
            std::printf("  collision: \"%s\" is taken by %s; stored as \"%s\"\n", c.wanted.c_str(),
                        c.otherPath.c_str(), c.stored.c_str());
    }
    return kExitOk;
}

int RunImport(const Args& args) {
    const std::string& file = args.positional[0];
    unsigned long extra = 0;
    if (!ParseExtraSpace(args, extra)) return UsageError(args.command, "bad --extra-space");
    const Stopwatch clock;

    struct Skipped { std::string path, reason; };
    std::vector<Skipped> skipped;
    std::vector<Source> sources;
    std::optional<Format> wanted;
    if (args.Has("--format") && !(wanted = FormatNamed(args.Get("--format"))))
        return UsageError(args.command, "unknown --format " + args.Get("--format"));
    for (size_t i = 1; i < args.positional.size(); ++i) {
        const fs::path p(args.positional[i]);
        std::error_code ec;
        if (fs::is_directory(p, ec)) {
            Collect(p, p, wanted.value_or(Format::Ir), sources);
        } else if (fs::is_regular_file(p, ec)) {
            sources.push_back({p.string(), p.filename().string(),
                               wanted.value_or(FormatOfPath(p.string()).value_or(Format::Ir))});
        } else {
            skipped.push_back({p.string(), "no such file or directory"});
        }
    }

    Library library;
    std::string error;
    if (!library.Open(file, Library::Access::Write, args.Has("--override-protection"), error))
        return Fail(file, error);
    if (library.repaired())
        std::fprintf(stderr, "irlib: %s: was not closed properly; rebuilt\n", file.c_str());
    library.SetExtraSpace(static_cast<uint16_t>(extra));

    struct Event { std::string path; Shortened name; };
    struct Clash { std::string path; Collision collision; };
    struct Split { std::string path; std::vector<std::string> models; };
    std::vector<Event> shortened;
    std::vector<Clash> collisions;
    std::vector<Split> splits;
    std::vector<Shortened> distinctNames;  // manufacturers and types, each once
    size_t remotes = 0, records = 0, signals = 0, comments = 0, replaced = 0;

    Progress progress("importing", sources.size());
    for (size_t i = 0; i < sources.size(); ++i) {
        progress.Update(i);
        const Source& src = sources[i];
        std::string text;
        IrFile ir;
        if (!ReadText(src.fullPath, text)) {
            skipped.push_back({src.fullPath, "cannot read"});
            continue;
        }
        std::vector<Remote> read;
        if (src.format == Format::Ir) {
            if (!ParseIrFile(text, ir, error)) {
                skipped.push_back({src.fullPath, error});
                continue;
            }
            read.push_back({"", std::move(ir)});
        } else {
            std::vector<Problem> problems;
            ReadRemotes(src.format, text, src.fullPath, read, problems);
            for (const Problem& p : problems)
                skipped.push_back({src.fullPath + (p.line ? ":" + std::to_string(p.line) : ""), p.reason});
        }
        for (Remote& remote : read) {
            std::vector<Problem> problems;
            if (args.Has("--decode")) DecodeRaw(remote.file);
            if (args.Has("--render")) RenderParsed(remote.file, problems);
            for (const Problem& p : problems) skipped.push_back({src.fullPath, p.reason});
            const std::string path = src.format == Format::Ir ? src.relativePath : ImportPath(src, remote, read.size());
            StoreResult result;
            if (!StoreRemote(library, path, NamesFromPath(path), remote.file,
                             kMaxRecordSize - extra, result, error)) {
                skipped.push_back({src.fullPath, error});
                continue;
            }
            ++remotes;
            records += result.partModels.size();
            signals += result.signals;
            comments += result.comments;
            replaced += result.replaced ? 1 : 0;
            for (const Shortened& s : result.shortened) {
                if (s.level == "type" || s.level == "manufacturer") {
                    if (NotListed(distinctNames, s.level, s.original)) distinctNames.push_back(s);
                    continue;
                }
                shortened.push_back({src.relativePath, s});
            }
            for (const Collision& c : result.collisions) collisions.push_back({src.relativePath, c});
            if (result.partModels.size() > 1) splits.push_back({src.relativePath, result.partModels});
        }
    }
    progress.Update(sources.size());
    progress.Finish();
    library.Close();
    bool dirty = false;
    uint32_t kind = 0;
    if (!PeekHeader(file, dirty, kind) || dirty)
        return Fail(file, "the catalogue index could not be saved");
    const double seconds = clock.Seconds();

    if (args.Has("--json")) {
        Json out;
        out.BeginObject().Field("file", file).Field("remotes", remotes).Field("records", records);
        out.Field("signals", signals).Field("comments", comments).Field("replaced", replaced);
        out.Field("seconds", seconds).Key("shortened").BeginArray();
        for (const Shortened& s : distinctNames)
            out.BeginObject().Field("level", s.level).Field("original", s.original).Field("stored", s.stored).EndObject();
        for (const Event& e : shortened)
            out.BeginObject().Field("path", e.path).Field("level", e.name.level)
                .Field("original", e.name.original).Field("stored", e.name.stored).EndObject();
        out.EndArray().Key("collisions").BeginArray();
        for (const Clash& c : collisions)
            out.BeginObject().Field("path", c.path).Field("wanted", c.collision.wanted)
                .Field("stored", c.collision.stored).Field("takenBy", c.collision.otherPath).EndObject();
        out.EndArray().Key("split").BeginArray();
        for (const Split& s : splits) {
            out.BeginObject().Field("path", s.path).Key("models").BeginArray();
            for (const auto& m : s.models) out.String(m);
            out.EndArray().EndObject();
        }
        out.EndArray().Key("skipped").BeginArray();
        for (const Skipped& s : skipped)
            out.BeginObject().Field("path", s.path).Field("reason", s.reason).EndObject();
        out.EndArray().EndObject();
        std::fputs(out.Text().c_str(), stdout);
    } else {
        std::printf("imported %zu remotes (%zu records), %zu signals, %zu comments into %s in %.2f s\n",
                    remotes, records, signals, comments, file.c_str(), seconds);
        if (replaced) std::printf("replaced %zu remotes imported before from the same paths\n", replaced);
        size_t buttons = 0;
        for (const Event& e : shortened) buttons += e.name.level == "button";
        std::printf("shortened names: %zu manufacturers/types, %zu models, %zu buttons (full names kept)\n",
                    distinctNames.size(), shortened.size() - buttons, buttons);
        if (args.Has("--verbose")) {
            for (const Shortened& s : distinctNames)
                std::printf("  %s \"%s\" -> \"%s\"\n", s.level.c_str(), s.original.c_str(), s.stored.c_str());
            for (const Event& e : shortened)
                std::printf("  %s: %s \"%s\" -> \"%s\"\n", e.path.c_str(), e.name.level.c_str(),
                            e.name.original.c_str(), e.name.stored.c_str());
        }
        std::printf("collisions: %zu\n", collisions.size());
        for (const Clash& c : collisions)
            std::printf("  %s: \"%s\" is taken by %s; stored as \"%s\"\n", c.path.c_str(),
                        c.collision.wanted.c_str(), c.collision.otherPath.c_str(), c.collision.stored.c_str());
        std::printf("split into parts (too large for one record): %zu\n", splits.size());
        for (const Split& s : splits)
            std::printf("  %s: %zu parts, %s .. %s\n", s.path.c_str(), s.models.size(),
                        s.models.front().c_str(), s.models.back().c_str());
        std::printf("skipped: %zu\n", skipped.size());
        for (const Skipped& s : skipped) std::printf("  %s: %s\n", s.path.c_str(), s.reason.c_str());
    }
    if (!skipped.empty())
        return Fail(skipped.front().path, skipped.front().reason +
                                              (skipped.size() > 1 ? " (and " + std::to_string(skipped.size() - 1) +
                                                                        " more skipped; see the summary)"
                                                                  : ""));
    return kExitOk;
}

}  // namespace irlib
