// The commands that work on the catalogue through the API alone: create, ls, rm, compact.
#include <sys/stat.h>

#include <cstdio>

#include "cli.h"
#include "json.h"
#include "library.h"
#include "names.h"
#include "scan.h"
#include "store.h"

namespace irlib {
namespace {

long FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

// Names on the command line may be given in full; the library holds them shortened.
std::string Stored(const std::string& name) { return ShortenName(name); }

}  // namespace

int RunCreate(const Args& args) {
    const std::string& file = args.positional[0];
    const std::string kind = args.Get("--kind", "infrared");
    uint32_t flags = 0;
    if (kind == "command") {
        flags = IRCreateCommandLibrary;
    } else if (kind == "kind8") {
        flags = IRCreateKind8;
    } else if (kind != "infrared") {
        return UsageError(args.command, "--kind must be infrared, command or kind8");
    }
    if (args.Has("--write-protected")) flags |= IRCreateWriteProtected;
    if (FileSize(file) >= 0 && !args.Has("--force"))
        return Fail(file, "already exists (--force replaces it)");
    std::string error;
    if (!CreateLibraryFile(file, flags, error)) return Fail(file, error);
    std::printf("created %s (%s library%s)\n", file.c_str(), kind.c_str(),
                args.Has("--write-protected") ? ", write-protected" : "");
    return kExitOk;
}

int RunLs(const Args& args) {
    const std::string& file = args.positional[0];
    Library library;
    std::string error;
    if (!library.Open(file, Library::Access::Read, false, error)) return Fail(file, error);
    const bool json = args.Has("--json");
    Json out;
    std::string text;

    if (args.positional.size() == 3) {
        const std::string m = Stored(args.positional[1]), t = Stored(args.positional[2]);
        const auto models = library.Models(m, t);
        if (!models) return Fail(file, "no type '" + args.positional[2] + "' of manufacturer '" +
                                           args.positional[1] + "'");
        out.BeginArray();
        for (const auto& model : *models) {
            out.String(model);
            text += model + "\n";
        }
        out.EndArray();
    } else if (args.positional.size() == 2) {
        const std::string m = Stored(args.positional[1]);
        const auto types = library.Types(m);
        if (!types) return Fail(file, "no manufacturer '" + args.positional[1] + "'");
        out.BeginArray();
        for (const auto& type : *types) {
            out.String(type);
            text += type + "\n";
        }
        out.EndArray();
    } else {
        out.BeginArray();
        for (const auto& m : library.Manufacturers()) {
            out.BeginObject().Field("manufacturer", m).Key("types").BeginArray();
            text += m + "\n";
            for (const auto& t : library.Types(m).value_or(std::vector<std::string>{})) {
                out.BeginObject().Field("type", t).Key("models").BeginArray();
                text += "  " + t + "\n";
                for (const auto& model : library.Models(m, t).value_or(std::vector<std::string>{})) {
                    out.String(model);
                    text += "    " + model + "\n";
                }
                out.EndArray().EndObject();
            }
            out.EndArray().EndObject();
        }
        out.EndArray();
    }
    std::fputs(json ? out.Text().c_str() : text.c_str(), stdout);
    return kExitOk;
}

int RunRm(const Args& args) {
    const std::string& file = args.positional[0];
    const std::string m = Stored(args.positional[1]), t = Stored(args.positional[2]),
                      model = Stored(args.positional[3]);
    Library library;
    std::string error;
    if (!library.Open(file, Library::Access::Write, args.Has("--override-protection"), error))
        return Fail(file, error);
    if (!library.Exists(m, t, model))
        return Fail(file, "no record " + m + " / " + t + " / " + model);
    // A remote stored in parts goes as a whole: export could not rebuild it from fewer.
    std::vector<std::string> doomed{model};
    std::vector<uint8_t> image;
    DecodedRemote remote;
    if (library.Fetch(m, t, model, image) && DecodeRemote(image, remote, error) &&
        remote.info.parts > 1) {
        doomed.clear();
        for (const StoredPart& p : FindParts(library, m, t, remote.info.path)) doomed.push_back(p.model);
    }
    for (const std::string& name : doomed) {
        if (!library.Delete(m, t, name)) return Fail(file, "could not delete " + name);
        std::printf("removed %s / %s / %s\n", m.c_str(), t.c_str(), name.c_str());
    }
    library.Close();
    return kExitOk;
}

int RunCompact(const Args& args) {
    const std::string& file = args.positional[0];
    std::vector<uint8_t> bytes;
    std::string error;
    fmt::LibraryHeader header;
    if (!LoadLibraryFile(file, bytes, header, error)) return Fail(file, error);
    const Walk walk = WalkExtents(bytes, header.dataEnd);
    uint64_t liveCapacity = 0, deletedCapacity = 0, live = 0, deleted = 0;
    for (const ExtentScan& x : walk.extents) {
        (x.deleted() ? deletedCapacity : liveCapacity) += x.header.capacity;
        ++(x.deleted() ? deleted : live);
    }
    const uint64_t before = bytes.size();
    const uint64_t after = fmt::kHeaderSize + liveCapacity + fmt::kIndexEntrySize * live;
    const bool json = args.Has("--json");
    Json out;
    out.BeginObject().Field("file", file).Field("dryRun", args.Has("--dry-run"));
    out.Field("deletedExtents", deleted).Field("deletedBytes", deletedCapacity);
    out.Field("sizeBefore", before);

    if (args.Has("--dry-run")) {
        out.Field("sizeAfter", after).EndObject();
        if (json) {
            std::fputs(out.Text().c_str(), stdout);
        } else {
            std::printf("would drop %llu deleted extents (%llu bytes); file %llu -> %llu bytes%s\n",
                        static_cast<unsigned long long>(deleted),
                        static_cast<unsigned long long>(deletedCapacity),
                        static_cast<unsigned long long>(before),
                        static_cast<unsigned long long>(after),
                        header.dirty ? " (the file is dirty: its index is rebuilt too)" : "");
        }
        return kExitOk;
    }
    Library library;
    if (!library.Open(file, Library::Access::Write, args.Has("--override-protection"), error))
        return Fail(file, error);
    if (library.repaired()) std::fprintf(stderr, "irlib: %s: was not closed properly; rebuilt\n", file.c_str());
    if (!library.Compact()) return Fail(file, "compaction failed");
    library.Close();
    const long size = FileSize(file);
    out.Field("sizeAfter", size).EndObject();
    if (json) {
        std::fputs(out.Text().c_str(), stdout);
    } else {
        std::printf("compacted: dropped %llu deleted extents; file %llu -> %ld bytes\n",
                    static_cast<unsigned long long>(deleted),
                    static_cast<unsigned long long>(before), size);
    }
    return kExitOk;
}

}  // namespace irlib
