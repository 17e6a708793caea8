// Fuzz target: the input is a library file, opened read-only and for writing, browsed, written
// over, deleted from and compacted; a compaction that succeeds must leave a file that reopens
// with the same catalogue and takes a new record back whole. Each input is tried again with every
// block the library would find re-sealed, so that mutated fields get past the checksums.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "format/blocks.h"
#include "fuzz_support.h"
#include "maintenance/check.h"
#include "platform/testing/fault_injection.h"
#include "support/reliability.h"

namespace {

namespace rl = varnel32::reliability;
namespace fmt = varnel32::format;
using varnel32::fuzz::Broken;

LibraryHandle* Open(const std::string& path, uint32_t mode) {
    uint32_t status = 0;
    return IROpenLibrary(0, nullptr, path.c_str(), mode, 0, &status);
}

// Every listed record exists and fetches; a maker the file does not hold has no types.
rl::Contents Browse(LibraryHandle* h) {
    rl::ForEachListed(h, [&](const rl::NameFields& f, const std::string&) {
        if (IRDoesRemoteRecordExist(h, f.manufacturer.data(), f.type.data(), f.model.data()) != 1) {
            Broken("a listed record does not exist");
        }
    });
    IRFreeTypes(IRFindAllTypes(h, "no such maker"));
    return rl::ReadContents(h);
}

template <size_t N>
std::span<const uint8_t, N> At(const rl::Bytes& file, size_t at) {
    return std::span<const uint8_t, N>(file.data() + at, N);
}

// Seals, where they stand, the header, the record headers along the chain of capacities,
// the entry headers of live records and the index entries at dataEnd.
rl::Bytes Reseal(rl::Bytes file) {
    const auto seal = [&](fmt::BlockKind kind, size_t at) {
        const size_t length = fmt::ShapeOf(kind).size;
        if (at > file.size() || file.size() - at < length) return false;
        fmt::Seal(kind, std::span<uint8_t>(file.data() + at, length));
        return true;
    };
    if (!seal(fmt::BlockKind::Header, 0)) return file;
    const fmt::LibraryHeader h = fmt::DecodeLibraryHeader(At<fmt::kHeaderSize>(file, 0));
    size_t pos = fmt::kRecordAreaStart;
    for (int n = 0; n < 512 && seal(fmt::BlockKind::Record, pos); ++n) {
        const fmt::RecordHeader r = fmt::DecodeRecordHeader(At<fmt::kRecordHeaderSize>(file, pos));
        size_t p = pos + fmt::kRecordHeaderSize;
        for (uint16_t e = r.deleted == 0 ? r.entryCount : 0; e > 0 && seal(fmt::BlockKind::Entry, p); --e) {
            p += fmt::kEntryHeaderSize + fmt::DecodeEntryHeader(At<fmt::kEntryHeaderSize>(file, p)).dataLength();
        }
        if (r.capacity == 0) break;
        pos += r.capacity;
    }
    for (uint32_t i = 0; i < h.recordCount && i < 512; ++i) {
        if (!seal(fmt::BlockKind::Index, h.dataEnd + size_t{fmt::kIndexEntrySize} * i)) break;
    }
    seal(fmt::BlockKind::Header, 0);
    return file;
}

// What a compaction leaves: extents that tile the record area up to dataEnd, as many live and
// deleted ones as the header counts, no two live ones under the same names.
bool Tiled(const varnel32::check::Report& r) {
    const auto& x = r.walk.extents;
    const auto live = static_cast<uint32_t>(std::count_if(x.begin(), x.end(), [](auto& e) { return !e.deleted(); }));
    const auto twice = [](auto& v) { return v.block == "record header" && v.field == "names"; };
    return r.walk.gaps.empty() && r.walk.end == r.header.dataEnd && live == r.header.recordCount &&
           x.size() - live == r.header.freeSlotCount && std::none_of(r.violations.begin(), r.violations.end(), twice);
}

void Exercise(const std::string& path, const rl::Bytes& input) {
    rl::WriteFile(path, input);
    if (LibraryHandle* h = Open(path, IRModeReadOnly)) {
        Browse(h);
        IRCloseLibrary(h);
    }
    if (rl::ReadFile(path) != input) Broken("a read-only open changed the file");
    LibraryHandle* h = Open(path, IRModeWrite);
    if (h == nullptr) return;
    const rl::Contents before = Browse(h);
    // Whatever the file claims, a write and a delete must stay inside their blocks.
    IRSetExtraSpaceAmount(h, 8);
    rl::WriteRecord(h, rl::MakeRecord("Fuzz", "TV", "pre", 3, {40}));
    if (!before.empty()) rl::DeleteRecord(h, before.begin()->first);
    const int32_t compacted = IRCompactLibrary(h);
    const rl::Contents after = compacted == 1 ? Browse(h) : rl::Contents{};
    IRCloseLibrary(h);
    if (compacted != 1) return;
    if (rl::ContentsOf(path) != after) Broken("a compacted file reopens differently");
    // A compaction of a file without records returns at once and leaves even a dataEnd that
    // points nowhere as it was.
    const varnel32::check::Report report = varnel32::check::Check(rl::ReadFile(path));
    if (report.header.recordCount + report.header.freeSlotCount == 0) return;
    if (!Tiled(report)) Broken("a compacted file does not walk");
    h = Open(path, IRModeWrite);
    if (h == nullptr) Broken("a compacted file does not reopen for writing");
    IRSetExtraSpaceAmount(h, 8);
    const rl::Bytes record = rl::MakeRecord("Fuzz", "TV", "new", 7, {16, 0});
    const bool written = rl::WriteRecord(h, record);
    IRCloseLibrary(h);
    rl::Contents reread = rl::ContentsOf(path);
    if (!written || reread[rl::KeyOfRecord(record)] != rl::FetchImageOf(record)) Broken("a new record went missing");
}

}  // namespace

// Started on an empty corpus directory, the target first writes its seeds there: libraries
// empty, clean with deleted extents, dirty, one deletion short of a compaction, and cut short.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    const std::string dir = std::string((*argv)[*argc - 1]) + "/";
    if (dir[0] == '-' || access((dir + "main.lib").c_str(), F_OK) == 0) return 0;
    const rl::Library main = rl::MakeMainLibrary(dir + "main.lib");
    const rl::Library dirty = rl::MakeDirtyLibrary(dir + "dirty.lib", main);
    if (rl::MakeNearlyFullLibrary(dir + "full.lib").file.empty() || dirty.file.empty() ||
        IRCreateLibrary(0, (dir + "empty.lib").c_str(), 0) != 1) {
        Broken("cannot write the seed libraries");
    }
    rl::WriteFile(dir + "dirty.lib", dirty.file);
    rl::WriteFile(dir + "short.lib", rl::Bytes(main.file.begin(), main.file.end() - 100));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = varnel32::fuzz::ScratchDir() + "/input.lib";
    const rl::Bytes input(data, data + size);
    Exercise(path, input);
    if (const rl::Bytes resealed = Reseal(input); resealed != input) Exercise(path, resealed);
    varnel32::platform::testing::ClearUiEvents();
    return 0;
}
