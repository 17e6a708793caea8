// Fuzz target: the input is a library file, opened read-only and for writing, browsed, written
// over, deleted from and compacted; a compaction that succeeds must leave a file that reopens
// with the same catalogue and takes a new record back whole. Each input is tried again with every
// block the library would find re-sealed, so that mutated fields get past the checksums.
#include <cstddef>
#include <cstdint>

#include "format/blocks.h"
#include "fuzz_support.h"
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

void Exercise(const std::string& path, const rl::Bytes& input) {
    rl::WriteFile(path, input);
    if (LibraryHandle* h = Open(path, IRModeReadOnly)) {
        rl::ReadContents(h);  // lists every level and fetches every listed record
        IRCloseLibrary(h);
    }
    if (rl::ReadFile(path) != input) Broken("a read-only open changed the file");
    LibraryHandle* h = Open(path, IRModeWrite);
    if (h == nullptr) return;
    const rl::Contents before = rl::ReadContents(h);
    // Whatever the file claims, a write and a delete must stay inside their blocks.
    IRSetExtraSpaceAmount(h, 8);
    rl::WriteRecord(h, rl::MakeRecord("Fuzz", "TV", "pre", 3, {40}));
    if (!before.empty()) rl::DeleteRecord(h, before.begin()->first);
    const int32_t compacted = IRCompactLibrary(h);
    const rl::Contents after = compacted == 1 ? rl::ReadContents(h) : rl::Contents{};
    IRCloseLibrary(h);
    if (compacted != 1) return;
    if (rl::ContentsOf(path) != after) Broken("a compacted file reopens differently");
    // A compaction of a file without records returns at once and leaves even a dataEnd that
    // points nowhere as it was; any other leaves a file that takes a new record.
    const fmt::LibraryHeader header = fmt::DecodeLibraryHeader(At<fmt::kHeaderSize>(rl::ReadFile(path), 0));
    if (header.recordCount + header.freeSlotCount == 0) return;
    h = Open(path, IRModeWrite);
    if (h == nullptr) Broken("a compacted file does not reopen for writing");
    IRSetExtraSpaceAmount(h, 8);
    const rl::Bytes record = rl::MakeRecord("Fuzz", "TV", "new", 7, {16, 0});
    const bool written = rl::WriteRecord(h, record);
    IRCloseLibrary(h);
    rl::Contents reread = rl::ContentsOf(path);
    if (!written || reread[rl::KeyOfRecord(record)] != rl::FetchImageOf(record)) Broken("a new record lost");
}

}  // namespace

// Started on an empty corpus directory, the target first writes its seeds there: libraries
// empty, clean with deleted extents, dirty, one deletion short of a compaction, and cut short.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    const std::filesystem::path corpus = (*argv)[*argc - 1];
    std::error_code error;
    if (!std::filesystem::is_directory(corpus, error) || !std::filesystem::is_empty(corpus, error)) return 0;
    const std::string dir = corpus.string() + "/";
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
