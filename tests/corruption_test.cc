// Bit flips: every bit of a small library, clean and dirty, is flipped in turn, and the
// file is opened read-only and for writing, browsed, fetched and compacted. A flip inside a
// checksummed block must be caught by the operation that reads the block, with its failure
// value, and must cost nothing but what that block guards; a flip in entry data, spare
// bytes or bytes that nothing reads goes unnoticed, as designed, and is counted. The
// sanitizer build runs the same loop, so no flip may make the library read out of bounds.
// The flips reach the blocks through their decoders; that a decoder and its encoder
// agree on every byte is checked first, on random blocks.
#include <algorithm>
#include <array>
#include <bit>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "maintenance/check.h"
#include "support/reliability.h"
#include "support/test_support.h"

namespace varnel32::test {
namespace {

namespace rl = reliability;
namespace fi = platform::testing;

// Decoding any bytes and encoding the result gives the same bytes: no field is lost,
// moved or left out by either side, whatever the checksums say.
template <size_t N, typename Decode>
void ExpectRoundTrip(const char* block, Decode decode) {
    std::mt19937 rng(N);
    for (int i = 0; i < 50; ++i) {
        std::array<uint8_t, N> in{}, out{};
        for (uint8_t& b : in) b = static_cast<uint8_t>(rng());
        format::Encode(decode(std::span<const uint8_t, N>(in)), std::span<uint8_t, N>(out));
        ASSERT_EQ(in, out) << block;
    }
}

TEST(Blocks, DecodeThenEncodeGivesBackEveryByte) {
    ExpectRoundTrip<format::kHeaderSize>("library header", format::DecodeLibraryHeader);
    ExpectRoundTrip<format::kRecordHeaderSize>("record header", format::DecodeRecordHeader);
    ExpectRoundTrip<format::kEntryHeaderSize>("entry header", format::DecodeEntryHeader);
    ExpectRoundTrip<format::kIndexEntrySize>("index entry", format::DecodeIndexEntry);
}

enum class Region {
    Header,
    RecordHeader,         // of a live extent
    DeletedRecordHeader,  // of a deleted extent
    EntryHeader,
    EntryData,
    Spare,      // a live extent beyond its used size
    BlankBody,  // a deleted extent after its header
    IndexEntry,
    Unread,  // after the index of a clean file, or the stale index of a dirty one
};

const char* RegionName(Region r) {
    switch (r) {
        case Region::Header: return "header";
        case Region::RecordHeader: return "record header";
        case Region::DeletedRecordHeader: return "deleted record header";
        case Region::EntryHeader: return "entry header";
        case Region::EntryData: return "entry data";
        case Region::Spare: return "spare bytes";
        case Region::BlankBody: return "blank deleted body";
        case Region::IndexEntry: return "index entry";
        case Region::Unread: return "bytes nothing reads";
    }
    return "?";
}

bool Checksummed(Region r) {
    return r == Region::Header || r == Region::RecordHeader || r == Region::DeletedRecordHeader ||
           r == Region::EntryHeader || r == Region::IndexEntry;
}

// What one byte of the file belongs to: its region, the record it serves, and for an index
// entry its position in the stored run.
struct Place {
    Region region = Region::Unread;
    std::string key;
    uint32_t indexPosition = 0;
};

// Takes the file apart as the library lays it out (it is known good).
std::vector<Place> MapFile(const Bytes& file) {
    std::vector<Place> map(file.size());
    const auto mark = [&](size_t from, size_t to, Region region, const std::string& key = {},
                          uint32_t position = 0) {
        for (size_t i = from; i < to && i < map.size(); ++i) map[i] = {region, key, position};
    };
    const auto keyOf = [](const auto& names) {
        return rl::KeyOf(check::FieldText(names.manufacturer), check::FieldText(names.type),
                         check::FieldText(names.model));
    };
    mark(0, format::kHeaderSize, Region::Header);
    const check::Report report = check::Check(file);
    EXPECT_TRUE(report.ok());
    for (const check::ExtentScan& x : report.walk.extents) {
        const size_t body = x.offset + format::kRecordHeaderSize;
        if (x.deleted()) {
            mark(x.offset, body, Region::DeletedRecordHeader);
            mark(body, x.end(), Region::BlankBody);
            continue;
        }
        const std::string key = keyOf(x.header);
        mark(x.offset, body, Region::RecordHeader, key);
        size_t p = body;
        for (const check::EntryScan& e : x.entries) {
            p = e.offset + format::kEntryHeaderSize;
            mark(e.offset, p, Region::EntryHeader, key);
            mark(p, p + e.header.dataLength(), Region::EntryData, key);
            p += e.header.dataLength();
        }
        mark(p, x.end(), Region::Spare, key);
    }
    for (uint32_t j = 0; j < report.index.size(); ++j) {
        const size_t at = report.header.dataEnd + size_t{format::kIndexEntrySize} * j;
        mark(at, at + format::kIndexEntrySize, Region::IndexEntry, keyOf(report.index[j]), j);
    }
    return map;
}

// True when `got` is `want` with exactly one bit flipped.
bool OneBitApart(const Bytes& got, const Bytes& want) {
    if (got.size() != want.size()) return false;
    int bits = 0;
    for (size_t i = 0; i < got.size(); ++i) bits += std::popcount(static_cast<unsigned>(got[i] ^ want[i]));
    return bits == 1;
}

size_t MessageBoxes(const std::string& text) {
    size_t n = 0;
    for (const auto& e : fi::UiEvents()) {
        if (e.kind == fi::UiEvent::Kind::MessageBox && (text.empty() || e.text == text)) ++n;
    }
    return n;
}

class BitFlips : public LibraryTest {
protected:
    // Three live records (one without entries) and two deleted extents between them, with a
    // little spare room in every extent so that each region has bytes.
    Bytes BuildSmall(rl::Contents& contents) {
        const std::string path = Path("small.lib");
        EXPECT_EQ(IRCreateLibrary(0, path.c_str(), 0), 1);
        LibraryHandle* h = Open(path, IRModeWrite);
        IRSetExtraSpaceAmount(h, 6);
        EXPECT_TRUE(rl::WriteRecord(h, rl::MakeRecord("Sony", "TV", "A", 1, {6, 4})));
        EXPECT_TRUE(rl::WriteRecord(h, rl::MakeRecord("Sony", "TV", "D", 2, {2})));
        EXPECT_TRUE(rl::WriteRecord(h, rl::MakeRecord("Sony", "VCR", "B", 3, {3})));
        EXPECT_TRUE(rl::WriteRecord(h, rl::MakeRecord("Akai", "VCR", "E", 4, {})));
        EXPECT_TRUE(rl::WriteRecord(h, rl::MakeRecord("Akai", "Sat", "C", 5, {})));
        EXPECT_TRUE(rl::DeleteRecord(h, "sony/tv/d"));
        EXPECT_TRUE(rl::DeleteRecord(h, "akai/vcr/e"));
        IRCloseLibrary(h);
        contents = rl::ContentsOf(path);
        return rl::ReadFile(path);
    }

    // The file with one more record appended and the handle never closed.
    Bytes MakeDirty(const Bytes& clean, rl::Contents& contents) {
        const std::string path = Path("dirty.lib");
        rl::WriteFile(path, clean);
        LibraryHandle* h = Open(path, IRModeWrite);
        IRSetExtraSpaceAmount(h, 6);
        EXPECT_TRUE(rl::WriteRecord(h, rl::MakeRecord("Akai", "TV", "F", 6, {5})));
        const Bytes dirty = rl::ReadFile(path);
        contents = rl::ReadContents(h);
        IRCloseLibrary(h);
        return dirty;
    }

    // What a fetch of every record gives after the flip at `place`, beside `original`:
    // the damaged record fails to fetch, or (entry data) comes back one bit off.
    ::testing::AssertionResult AsExpected(const rl::Contents& got, const rl::Contents& original,
                                          const Place& place, const std::vector<std::string>& loaded) {
        for (const auto& [key, bytes] : original) {
            const bool listed = std::find(loaded.begin(), loaded.end(), key) != loaded.end();
            const auto it = got.find(key);
            if (!listed) {
                if (it != got.end()) return ::testing::AssertionFailure() << key << " should not be listed";
                continue;
            }
            if (it == got.end()) return ::testing::AssertionFailure() << key << " is missing";
            if (key == place.key && (place.region == Region::RecordHeader || place.region == Region::EntryHeader)) {
                if (!it->second.empty()) return ::testing::AssertionFailure() << key << " fetched despite the damage";
            } else if (key == place.key && place.region == Region::EntryData) {
                if (!OneBitApart(it->second, bytes)) return ::testing::AssertionFailure() << key << " is not one bit off";
            } else if (it->second != bytes) {
                return ::testing::AssertionFailure() << key << " changed";
            }
        }
        if (got.size() != loaded.size()) return ::testing::AssertionFailure() << "extra records listed";
        return ::testing::AssertionSuccess();
    }

    static std::vector<std::string> Keys(const rl::Contents& c) {
        std::vector<std::string> keys;
        for (const auto& [k, v] : c) keys.push_back(k);
        return keys;
    }

    // Writes `file` with each of its bits flipped in turn to flip.lib and runs `check` on it
    // (stopping after 20 flips that failed), then prints how many flips each region took.
    void FlipEveryBit(const char* variant, const Bytes& file,
                      const std::function<void(const std::string& path, const Place& place,
                                               const std::string& where)>& check) {
        const std::vector<Place> map = MapFile(file);
        const std::string path = Path("flip.lib");
        std::map<Region, uint64_t> flips;
        int failures = 0;
        for (size_t bit = 0; bit < file.size() * 8 && failures < 20; ++bit) {
            Bytes copy = file;
            copy[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
            rl::WriteFile(path, copy);
            const Place& place = map[bit / 8];
            ++flips[place.region];
            fi::ClearUiEvents();
            check(path, place, std::string(RegionName(place.region)) + " bit " + std::to_string(bit));
            failures += HasFailure();
        }
        const uint64_t total = file.size() * 8;
        uint64_t checked = 0, unchecked = 0;
        for (const auto& [region, n] : flips) (Checksummed(region) ? checked : unchecked) += n;
        std::printf("[bit flips] %s file: %" PRIu64 " bits flipped; %" PRIu64
                    " in checksummed blocks, all caught; %" PRIu64 " undetected by design:",
                    variant, total, checked, unchecked);
        for (const auto& [region, n] : flips) {
            if (!Checksummed(region)) std::printf(" %s %" PRIu64 ";", RegionName(region), n);
        }
        std::printf("\n");
    }
};

TEST_F(BitFlips, CleanFile) {
    rl::Contents original;
    const Bytes file = BuildSmall(original);
    ASSERT_EQ(original.size(), 3u);
    // The stored index order, for flips that stop the load part-way.
    std::vector<std::string> indexOrder;
    for (const Place& p : MapFile(file)) {
        if (p.region == Region::IndexEntry && (indexOrder.empty() || indexOrder.back() != p.key)) {
            indexOrder.push_back(p.key);
        }
    }
    ASSERT_EQ(indexOrder.size(), 3u);
    FlipEveryBit("clean", file, [&](const std::string& path, const Place& place, const std::string& where) {
        uint32_t status = 99;
        LibraryHandle* h = Open(path, IRModeReadOnly, &status);
        if (place.region == Region::Header) {
            // Caught by the open, for reading and for writing, without a message box.
            EXPECT_EQ(h, nullptr) << where;
            EXPECT_EQ(status, IROpenBadLibrary) << where;
            LibraryHandle* w = Open(path, IRModeWrite, &status);
            EXPECT_EQ(w, nullptr) << where;
            EXPECT_EQ(status, IROpenBadLibrary) << where;
            EXPECT_EQ(MessageBoxes(""), 0u) << where;
            if (h != nullptr) IRCloseLibrary(h);
            if (w != nullptr) IRCloseLibrary(w);
            return;
        }
        ASSERT_NE(h, nullptr) << where;
        // A damaged index entry ends the load there: the open succeeds with the records
        // before it, and the rest stay out of the catalogue.
        std::vector<std::string> loaded = Keys(original);
        if (place.region == Region::IndexEntry) {
            loaded.assign(indexOrder.begin(), indexOrder.begin() + place.indexPosition);
        }
        EXPECT_TRUE(AsExpected(rl::ReadContents(h), original, place, loaded)) << where << " (read-only)";
        IRCloseLibrary(h);

        // Compaction reads every record header; it rebuilds a damaged index from them.
        h = Open(path, IRModeWrite, &status);
        ASSERT_NE(h, nullptr) << where;
        const int32_t compacted = IRCompactLibrary(h);
        if (place.region == Region::RecordHeader || place.region == Region::DeletedRecordHeader) {
            EXPECT_EQ(compacted, 0) << where;
        } else {
            EXPECT_EQ(compacted, 1) << where;
            EXPECT_TRUE(AsExpected(rl::ReadContents(h), original, place, Keys(original)))
                << where << " (compacted)";
        }
        IRCloseLibrary(h);
    });
}

TEST_F(BitFlips, DirtyFile) {
    rl::Contents clean;
    rl::Contents original;
    const Bytes file = MakeDirty(BuildSmall(clean), original);
    ASSERT_EQ(original.size(), 4u);
    FlipEveryBit("dirty", file, [&](const std::string& path, const Place& place, const std::string& where) {
        // Refused for reading either way; only an intact header gets as far as the message.
        uint32_t status = 99;
        LibraryHandle* h = Open(path, IRModeReadOnly, &status);
        EXPECT_EQ(h, nullptr) << where;
        EXPECT_EQ(status, IROpenBadLibrary) << where;
        EXPECT_EQ(MessageBoxes(""), place.region == Region::Header ? 0u : 1u) << where;
        if (h != nullptr) IRCloseLibrary(h);

        // The repair walks every record header: a damaged one makes it fail.
        fi::ClearUiEvents();
        h = Open(path, IRModeWrite, &status);
        if (place.region == Region::Header) {
            EXPECT_EQ(h, nullptr) << where;
            EXPECT_EQ(MessageBoxes(""), 0u) << where;
        } else if (place.region == Region::RecordHeader || place.region == Region::DeletedRecordHeader) {
            EXPECT_EQ(h, nullptr) << where;
            EXPECT_EQ(status, IROpenBadLibrary) << where;
            EXPECT_EQ(MessageBoxes("Recovery Failed!"), 1u) << where;
        } else {
            EXPECT_NE(h, nullptr) << where;
            EXPECT_EQ(status, IROpenOk) << where;
            if (h != nullptr) {
                EXPECT_TRUE(AsExpected(rl::ReadContents(h), original, place, Keys(original))) << where;
            }
        }
        if (h != nullptr) IRCloseLibrary(h);
    });
}

}  // namespace
}  // namespace varnel32::test
