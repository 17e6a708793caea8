// salvage: every intact live record of a damaged or dirty file, copied into a new library
// through the API. Nothing of the old header but its kind is used, and only when it
// verifies; the index is ignored. The source file is only ever read.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "cli.h"
#include "json.h"
#include "library.h"
#include "remote_codec.h"
#include "scan.h"

namespace irlib {
namespace {

struct Lost {
    uint32_t offset;
    std::string what;
    std::string reason;
};

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}


}  // namespace

int RunSalvage(const Args& args) {
    const std::string& file = args.positional[0];
    const std::string& outPath = args.positional[1];
    std::vector<uint8_t> bytes;
    std::string error;
    if (!LoadFile(file, bytes, error)) return Fail(file, error);
    struct stat st {};
    if (::stat(outPath.c_str(), &st) == 0) {
        if (SameFile(file, outPath)) return Fail(outPath, "is the file being salvaged");
        if (!args.Has("--force")) return Fail(outPath, "already exists (--force replaces it)");
    }

    uint32_t kindFlags = 0;
    std::string kindSource = "header";
    const BlockCheck hc = CheckBlock(fmt::BlockKind::Header, bytes, 0);
    if (hc.verifies) {
        kindFlags = fmt::DecodeLibraryHeader(std::span<const uint8_t, fmt::kHeaderSize>(bytes.data(), fmt::kHeaderSize)).kind;
    } else {
        kindSource = "default";
        const std::string kind = args.Get("--kind", "infrared");
        if (kind == "command") {
            kindFlags = IRCreateCommandLibrary;
            kindSource = "--kind";
        } else if (kind == "kind8") {
            kindFlags = IRCreateKind8;
            kindSource = "--kind";
        } else if (kind != "infrared") {
            return UsageError(args.command, "--kind must be infrared, command or kind8");
        }
    }
    // The copy is written to, so it does not inherit write protection.
    const uint32_t createFlags = (kindFlags & IRKindCommand) ? IRCreateCommandLibrary
                                 : (kindFlags & IRKind8)     ? IRCreateKind8
                                                             : 0u;

    const Walk walk = WalkExtents(bytes, static_cast<uint32_t>(bytes.size()));
    // Behind the last extent stand the index run and the tail, which hold no records; a
    // verifying header says where that starts, else the last stretch may be either.
    const uint32_t dataEnd = hc.verifies ? fmt::DecodeLibraryHeader(std::span<const uint8_t, fmt::kHeaderSize>(
                                               bytes.data(), fmt::kHeaderSize)).dataEnd
                                         : 0;
    std::vector<Lost> lost;
    for (const Unreadable& g : walk.gaps) {
        if (hc.verifies && g.offset >= dataEnd) continue;
        const uint32_t end = hc.verifies && g.end > dataEnd ? dataEnd : g.end;
        const bool last = g.end == bytes.size();
        lost.push_back({g.offset, std::to_string(end - g.offset) + " bytes",
                        !hc.verifies && last
                            ? "no record header verifies from here to the end: the index run, and any "
                              "records that stood here"
                            : "no record header verifies there; whatever records they held are lost"});
    }

    if (!CreateLibraryFile(outPath, createFlags, error)) return Fail(outPath, error);
    Library out;
    if (!out.Open(outPath, Library::Access::Write, false, error)) return Fail(outPath, error);
    out.SetExtraSpace(0);
    size_t recovered = 0, deleted = 0;
    for (const ExtentScan& x : walk.extents) {
        if (x.deleted()) {
            ++deleted;
            continue;
        }
        const fmt::RecordHeader& r = x.header;
        const std::string what = "\"" + FieldText(r.manufacturer) + "\" / \"" + FieldText(r.type) +
                                 "\" / \"" + FieldText(r.model) + "\"";
        if (!x.problems.empty()) {
            const Violation& v = x.problems.front();
            lost.push_back({x.offset, what, v.block + " at " + std::to_string(v.offset) + ": " + v.field +
                                                " expected " + v.expected + ", found " + v.found});
            continue;
        }
        if (!fmt::HasTerminator(r.manufacturer) || !fmt::HasTerminator(r.type) || !fmt::HasTerminator(r.model)) {
            lost.push_back({x.offset, what, "a name field has no terminator"});
            continue;
        }
        const std::string m = FieldText(r.manufacturer), t = FieldText(r.type), model = FieldText(r.model);
        if (out.Exists(m, t, model)) {
            lost.push_back({x.offset, what, "a record with these names was recovered before it; this copy left out"});
            continue;
        }
        if (!out.Write(RecordImage(bytes, x))) return Fail(outPath, "the library refused to write " + what);
        ++recovered;
    }
    out.Close();
    bool dirty = false;
    uint32_t kind = 0;
    if (!PeekHeader(outPath, dirty, kind) || dirty) return Fail(outPath, "the catalogue index could not be saved");

    if (args.Has("--json")) {
        Json j;
        j.BeginObject().Field("file", file).Field("out", outPath).Field("kindFrom", kindSource);
        j.Field("recovered", recovered).Field("deletedExtents", deleted).Key("lost").BeginArray();
        for (const Lost& l : lost)
            j.BeginObject().Field("offset", l.offset).Field("what", l.what).Field("reason", l.reason).EndObject();
        j.EndArray().EndObject();
        std::fputs(j.Text().c_str(), stdout);
    } else {
        std::printf("recovered %zu records into %s (kind from the %s); skipped %zu deleted extents\n",
                    recovered, outPath.c_str(), kindSource.c_str(), deleted);
        std::printf("lost: %zu\n", lost.size());
        for (const Lost& l : lost)
            std::printf("  @%u %s: %s\n", l.offset, l.what.c_str(), l.reason.c_str());
    }
    return kExitOk;
}

}  // namespace irlib
