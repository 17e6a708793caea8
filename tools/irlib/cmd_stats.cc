// stats: counts, sizes, free slots, free bytes, dirty flag and kind. Header fields and
// extent sizes come from the file itself (they are below the API); the catalogue counts
// come through the API when the file is clean, else from the record headers.
#include <cstdio>
#include <set>

#include "cli.h"
#include "json.h"
#include "library.h"
#include "scan.h"
#include "signal_codec.h"

namespace irlib {
int RunStats(const Args& args) {
    const std::string& file = args.positional[0];
    std::vector<uint8_t> bytes;
    std::string error;
    fmt::LibraryHeader h;
    if (!LoadLibraryFile(file, bytes, h, error)) return Fail(file, error);
    const Walk walk = WalkExtents(bytes, h.dataEnd);

    uint64_t live = 0, deleted = 0, used = 0, liveCapacity = 0, deletedCapacity = 0;
    uint64_t entries = 0, signals = 0, comments = 0, remoteInfos = 0, other = 0;
    for (const ExtentScan& x : walk.extents) {
        if (x.deleted()) {
            ++deleted;
            deletedCapacity += x.header.capacity;
            continue;
        }
        ++live;
        used += x.header.usedSize;
        liveCapacity += x.header.capacity;
        for (const EntryScan& e : x.entries) {
            ++entries;
            switch (static_cast<EntryKind>(e.header.head[0])) {
            case EntryKind::Parsed:
            case EntryKind::Raw:
            case EntryKind::Verbatim: ++signals; break;
            case EntryKind::Comment: ++comments; break;
            case EntryKind::Info: ++remoteInfos; break;
            default: ++other; break;
            }
        }
    }
    size_t manufacturers = 0, types = 0, models = 0;
    const char* catalogueSource = "index";
    Library library;
    if (!h.dirty && library.Open(file, Library::Access::Read, false, error)) {
        for (const auto& m : library.Manufacturers()) {
            ++manufacturers;
            for (const auto& t : library.Types(m).value_or(std::vector<std::string>{})) {
                ++types;
                models += library.Models(m, t).value_or(std::vector<std::string>{}).size();
            }
        }
        library.Close();
    } else {
        // Dirty (or unopenable): count distinct names in the live record headers.
        catalogueSource = "record headers";
        std::set<std::string> ms, ts;
        auto lower = [](std::string s) {
            for (char& c : s)
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            return s;
        };
        for (const ExtentScan& x : walk.extents) {
            if (x.deleted()) continue;
            const std::string m = lower(FieldText(x.header.manufacturer));
            ms.insert(m);
            ts.insert(m + '\0' + lower(FieldText(x.header.type)));
            ++models;
        }
        manufacturers = ms.size();
        types = ts.size();
    }
    uint32_t occupied = 0;
    for (const auto& s : h.freeSlots) occupied += s.offset != 0;
    const uint64_t indexBytes = h.dirty ? 0 : uint64_t{h.recordCount} * fmt::kIndexEntrySize;
    const uint64_t tail = bytes.size() > h.dataEnd + indexBytes ? bytes.size() - h.dataEnd - indexBytes : 0;

    const bool hotJournal = HotJournalBeside(file);
    if (args.Has("--json")) {
        Json out;
        out.BeginObject().Field("file", file).Field("fileSize", bytes.size()).Field("kind", h.kind);
        out.Field("kindName", KindText(h.kind)).Field("dirty", h.dirty != 0).Field("hotJournal", hotJournal);
        out.Field("recordCount", h.recordCount).Field("liveExtents", live).Field("deletedExtents", deleted);
        out.Field("unreadableStretches", walk.gaps.size());
        out.Field("manufacturers", manufacturers).Field("types", types).Field("models", models);
        out.Field("catalogueFrom", catalogueSource);
        out.Field("entries", entries).Field("signals", signals).Field("comments", comments);
        out.Field("remoteEntries", remoteInfos).Field("otherEntries", other);
        out.Field("dataEnd", h.dataEnd).Field("usedBytes", used).Field("liveCapacity", liveCapacity);
        out.Field("spareBytes", liveCapacity - used).Field("deletedBytes", deletedCapacity);
        out.Field("freeSlots", occupied).Field("freeSlotCount", h.freeSlotCount).Field("freeBytes", h.freeBytes);
        out.Field("indexBytes", indexBytes).Field("tailBytes", tail).EndObject();
        std::fputs(out.Text().c_str(), stdout);
        return kExitOk;
    }
    std::printf("file           %s, %zu bytes\n", file.c_str(), bytes.size());
    std::printf("kind           %u (%s)\n", h.kind, KindText(h.kind).c_str());
    std::printf("dirty          %s\n", h.dirty ? "yes (not closed properly; the index is stale)" : "no");
    if (hotJournal) std::printf("journal        hot (a changing call was cut short; the next open for writing undoes it)\n");
    std::printf("records        %llu live, %llu deleted (recordCount %u)\n",
                static_cast<unsigned long long>(live), static_cast<unsigned long long>(deleted), h.recordCount);
    if (!walk.gaps.empty()) std::printf("unreadable     %zu stretches of the record area ('irlib check')\n", walk.gaps.size());
    std::printf("catalogue      %zu manufacturers, %zu types, %zu models (from the %s)\n", manufacturers,
                types, models, catalogueSource);
    std::printf("entries        %llu: %llu signals, %llu comments, %llu #remote, %llu other\n",
                static_cast<unsigned long long>(entries), static_cast<unsigned long long>(signals),
                static_cast<unsigned long long>(comments), static_cast<unsigned long long>(remoteInfos),
                static_cast<unsigned long long>(other));
    std::printf("record area    %u..%u: %llu bytes used, %llu spare in live extents, %llu in deleted ones\n",
                fmt::kRecordAreaStart, h.dataEnd, static_cast<unsigned long long>(used),
                static_cast<unsigned long long>(liveCapacity - used),
                static_cast<unsigned long long>(deletedCapacity));
    std::printf("free slots     %u of %zu in use (freeSlotCount %u), %u free bytes\n", occupied,
                fmt::kFreeSlotCount, h.freeSlotCount, h.freeBytes);
    std::printf("index          %llu bytes at %u%s\n", static_cast<unsigned long long>(indexBytes), h.dataEnd,
                h.dirty ? " (stale)" : "");
    std::printf("tail           %llu bytes after the index\n", static_cast<unsigned long long>(tail));
    return kExitOk;
}

}  // namespace irlib
