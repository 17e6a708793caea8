// Bit flips: each bit of a small library, clean and dirty, flipped in turn, must be caught by
// the call that reads its checksummed block, with its failure value, and cost nothing but
// what that block guards (entry data, spare bytes and bytes nothing reads go unnoticed, as
// designed); the file checker must find every one, and name each rule broken alone.
#include <array>
#include <bit>
#include <functional>
#include <random>

#include "format/endian.h"
#include "maintenance/check.h"
#include "support/file_builder.h"
#include "support/reliability.h"

namespace varnel32::test {
namespace {

namespace rl = reliability;
namespace fi = platform::testing;

// Decoding any bytes and encoding the result gives the same bytes: no field is lost, moved
// or left out by either side, whatever the checksums say. The flips reach the blocks
// through these decoders.
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

// The parts of a file a flip can land in; the first five are checksummed blocks.
enum class Region { Header, Record, Deleted, Entry, Index, Data, Spare, BlankBody, Unread };
const char* const kRegionNames[] = {"header",      "record header", "deleted record header",
                                    "entry header", "index entry",   "entry data",
                                    "spare bytes", "blank deleted body", "bytes nothing reads"};
bool RecordHeader(Region r) { return r == Region::Record || r == Region::Deleted; }

// What one byte belongs to: its region, the record it serves, an index entry's position.
struct Place {
    Region region = Region::Unread;
    std::string key;
    uint32_t indexPosition = 0;
};

std::string KeyOfNames(const auto& n) {
    return rl::KeyOf(check::FieldText(n.manufacturer), check::FieldText(n.type), check::FieldText(n.model));
}

// Takes a good file apart by the checker's walk.
std::vector<Place> MapFile(const Bytes& file) {
    std::vector<Place> map(file.size());
    const auto mark = [&](size_t from, size_t to, Region region, const std::string& key = {}, uint32_t at = 0) {
        for (size_t i = from; i < to && i < map.size(); ++i) map[i] = {region, key, at};
    };
    mark(0, format::kHeaderSize, Region::Header);
    const check::Report report = check::Check(file);
    EXPECT_TRUE(report.ok());
    for (const check::ExtentScan& x : report.walk.extents) {
        size_t p = x.offset + format::kRecordHeaderSize;
        if (x.deleted()) {
            mark(x.offset, p, Region::Deleted);
            mark(p, x.end(), Region::BlankBody);
            continue;
        }
        const std::string key = KeyOfNames(x.header);
        mark(x.offset, p, Region::Record, key);
        for (const check::EntryScan& e : x.entries) {
            p = e.offset + format::kEntryHeaderSize;
            mark(e.offset, p, Region::Entry, key);
            mark(p, p + e.header.dataLength(), Region::Data, key);
            p += e.header.dataLength();
        }
        mark(p, x.end(), Region::Spare, key);
    }
    for (uint32_t j = 0; j < report.index.size(); ++j) {
        const size_t at = report.header.dataEnd + size_t{format::kIndexEntrySize} * j;
        mark(at, at + format::kIndexEntrySize, Region::Index, KeyOfNames(report.index[j]), j);
    }
    return map;
}

bool OneBitApart(const Bytes& a, const Bytes& b) {
    int bits = a.size() == b.size() ? 0 : 2;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) bits += std::popcount(0u + (a[i] ^ b[i]));
    return bits == 1;
}

size_t MessageBoxes(const std::string& text = {}) {
    size_t n = 0;
    for (const auto& e : fi::UiEvents()) n += e.kind == fi::UiEvent::Kind::MessageBox && (text == "" || e.text == text);
    return n;
}

class BitFlips : public LibraryTest {
protected:
    // Three live records (one without entries) and two deleted extents between them, with a
    // little spare room in every extent so that each region has bytes.
    rl::Library BuildSmall() {
        return rl::BuildLibrary(Path("small.lib"), 6, {rl::MakeRecord("Sony", "TV", "A", 1, {6, 4}),
                                rl::MakeRecord("Sony", "TV", "D", 2, {2}), rl::MakeRecord("Sony", "VCR", "B", 3, {3}),
                                rl::MakeRecord("Akai", "VCR", "E", 4, {}), rl::MakeRecord("Akai", "Sat", "C", 5, {})},
                                {"sony/tv/d", "akai/vcr/e"});
    }

    static std::vector<std::string> Keys(const rl::Contents& contents) {
        std::vector<std::string> keys;
        for (const auto& [key, record] : contents) keys.push_back(key);
        return keys;
    }

    // Whether a handle reaches the `loaded` records of `original` after the flip at `place`: the
    // damaged one fails to fetch or (entry data) comes back one bit off, the others as they were.
    static bool AsExpected(LibraryHandle* h, const rl::Contents& original, const Place& place,
                           const std::vector<std::string>& loaded) {
        rl::Contents got = rl::ReadContents(h), want;
        for (const std::string& key : loaded) want[key] = original.at(key);
        const auto w = want.find(place.key), g = got.find(place.key);  // the damaged record's
        if (w == want.end() || g == got.end()) return got == want;
        if (place.region == Region::Record || place.region == Region::Entry) w->second.clear();
        if (place.region == Region::Data && OneBitApart(g->second, w->second)) w->second = g->second;
        return got == want;
    }

    // Runs `check` on `file` with each of its bits flipped in turn (as flip.lib), up to 20 failures.
    void FlipEveryBit(const Bytes& file,
                      const std::function<void(const std::string&, const Place&, const std::string&)>& check) {
        const std::vector<Place> map = MapFile(file);
        const std::string path = Path("flip.lib");
        for (size_t bit = 0, failures = 0; bit < file.size() * 8 && failures < 20; ++bit, failures += HasFailure()) {
            Bytes copy = file;
            copy[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
            rl::WriteFile(path, copy);
            const Place& p = map[bit / 8];
            const std::string where = std::string(kRegionNames[int(p.region)]) + " bit " + std::to_string(bit);
            // The checker sees every flip in a checksummed block, and a blank body that is not.
            EXPECT_EQ(check::Check(copy).ok(), p.region > Region::Index && p.region != Region::BlankBody) << where;
            fi::ClearUiEvents();
            check(path, p, where);
        }
    }
};

TEST_F(BitFlips, CleanFile) {
    const rl::Library small = BuildSmall();
    ASSERT_EQ(small.contents.size(), 3u);
    // The stored index order, for flips that stop the load part-way.
    std::vector<std::string> indexOrder;
    for (const format::IndexEntry& e : check::Check(small.file).index) indexOrder.push_back(KeyOfNames(e));
    FlipEveryBit(small.file, [&](const std::string& path, const Place& place, const std::string& where) {
        uint32_t status = 99;
        if (place.region == Region::Header) {
            // Caught by the open, for reading and for writing, without a message box.
            for (uint32_t mode : {IRModeReadOnly, IRModeWrite}) {
                EXPECT_EQ(Open(path, mode, &status), nullptr) << where;
                EXPECT_EQ(status, IROpenBadLibrary) << where;
            }
            EXPECT_EQ(MessageBoxes(), 0u) << where;
            return;
        }
        LibraryHandle* h = Open(path, IRModeReadOnly, &status);
        ASSERT_NE(h, nullptr) << where;
        // A damaged index entry ends the load there: the open succeeds with the records
        // before it, and the rest stay out of the catalogue.
        std::vector<std::string> loaded = Keys(small.contents);
        if (place.region == Region::Index) loaded.assign(indexOrder.begin(), indexOrder.begin() + place.indexPosition);
        EXPECT_TRUE(AsExpected(h, small.contents, place, loaded)) << where << " (read-only)";
        IRCloseLibrary(h);

        // Compaction reads every record header; it rebuilds a damaged index from them.
        h = Open(path, IRModeWrite, &status);
        ASSERT_NE(h, nullptr) << where;
        const bool header = RecordHeader(place.region);
        EXPECT_EQ(IRCompactLibrary(h), header ? 0 : 1) << where;
        if (!header) {
            EXPECT_TRUE(AsExpected(h, small.contents, place, Keys(small.contents))) << where << " (compacted)";
        }
        IRCloseLibrary(h);
    });
}

TEST_F(BitFlips, DirtyFile) {
    // The small file with one more record written and the handle never closed.
    const rl::Library dirty = rl::MakeDirtyLibrary(Path("dirty.lib"), BuildSmall());
    ASSERT_EQ(dirty.contents.size(), 4u);
    FlipEveryBit(dirty.file, [&](const std::string& path, const Place& place, const std::string& where) {
        // Refused for reading either way; only an intact header gets as far as the message.
        uint32_t status = 99;
        EXPECT_EQ(Open(path, IRModeReadOnly, &status), nullptr) << where;
        EXPECT_EQ(status, IROpenBadLibrary) << where;
        EXPECT_EQ(MessageBoxes(), place.region == Region::Header ? 0u : 1u) << where;

        // The repair (after its prompt) walks every record header: a damaged one makes it fail.
        fi::ClearUiEvents();
        LibraryHandle* h = Open(path, IRModeWrite, &status);
        const bool header = place.region == Region::Header, failed = RecordHeader(place.region);
        EXPECT_EQ(status, header || failed ? IROpenBadLibrary : IROpenOk) << where;
        EXPECT_EQ(MessageBoxes(), header ? 0u : failed ? 2u : 1u) << where;
        EXPECT_EQ(MessageBoxes("Recovery Failed!"), failed ? 1u : 0u) << where;
        if (h != nullptr) {
            EXPECT_TRUE(AsExpected(h, dirty.contents, place, Keys(dirty.contents))) << where;
        }
        IRCloseLibrary(h);
    });
}

// Each rule broken alone in the small clean file, the block sealed again so that only the rule
// catches it: the checker must name the block and field (and where given, what it expected).
TEST_F(BitFlips, CheckerNamesEachBrokenRule) {
    using H = format::LibraryHeader;
    using R = format::RecordHeader;
    using I = format::IndexEntry;
    const Bytes file = BuildSmall().file;
    const check::Report good = check::Check(file);
    const auto& x = good.walk.extents;  // live, deleted, live, deleted, live
    ASSERT_TRUE(good.ok() && x.size() == 5 && x[1].deleted() && x[3].deleted() && good.index.size() == 3);
    const auto sealed = [&](size_t at, auto block, auto change) { return change(block), Resealed(file, at, block); };
    const auto header = [&](auto change) { return sealed(0, good.header, change); };
    const auto record = [&](size_t i, auto change) { return sealed(x[i].offset, x[i].header, change); };
    const auto index = [&](size_t i, auto change) {
        return sealed(good.header.dataEnd + format::kIndexEntrySize * i, good.index[i], change);
    };
    size_t slot = 0;  // the one naming the first deleted extent
    while (good.header.freeSlots[slot].offset != x[1].offset) ++slot;
    const std::string named = "header: freeSlots[" + std::to_string(slot) + "]";
    Bytes blankless = file;
    blankless[x[1].offset + format::kRecordHeaderSize] = 1;
    format::EntryHeader e = x[0].entries.at(0).header;
    format::Store16(e.head.data() + IR_ENTRY_DATA_LENGTH_OFFSET, x[0].header.capacity);
    const std::string num = std::to_string(x[1].offset);
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {Bytes(file.begin(), file.begin() + 100), "file: size"},
        {header([](H& h) { ++h.recordCount; }), "header: recordCount"},
        {header([](H& h) { ++h.freeSlotCount; }), "header: freeSlotCount"},
        {header([](H& h) { ++h.freeBytes; }), "header: freeBytes"},
        {header([&](H& h) { h.dataEnd = static_cast<uint32_t>(file.size() + 1); }), "header: dataEnd"},
        {header([](H& h) { h.dirty = 2; }), "header: dirty"},
        {header([](H& h) { h.kind = IRKindInfrared | IRKindCommand; }), "header: kind"},
        {header([](H& h) { h.kind |= 0x100; }), "header: kind"},
        {header([&](H& h) { ++h.freeSlots[slot].size; }), named + ".size"},
        {header([&](H& h) { h.freeSlots[slot].offset = x[0].offset; }), named + ".offset"},
        {header([&](H& h) { h.freeSlots[slot].offset = x[1].offset + 1; }), named + ".offset"},
        {header([&](H& h) { h.freeSlots[slot] = {}; }), "header: freeSlots"},
        {header([&](H& h) { h.freeSlots[200] = {0, 9}; }), "header: freeSlots[200].size"},
        {header([&](H& h) { h.freeSlots[201] = h.freeSlots[slot]; }), "header: freeSlots[201].offset"},
        {record(0, [](R& r) { r.usedSize = static_cast<uint16_t>(r.capacity + 1); }), "record header: usedSize"},
        {record(0, [](R& r) { --r.usedSize; }), "record header: usedSize"},
        {record(0, [](R& r) { r.entryCount = 40; }), "record header: entryCount"},
        {record(0, [](R& r) { ++r.capacity; }), "record header: magic"},
        {record(0, [](R& r) { r.capacity = format::kRecordHeaderSize - 1; }), "record header: capacity"},
        {record(0, [](R& r) { r.model.fill('x'); }), "record header: model"},
        {record(2, [&](R& r) { r.model = x[0].header.model, r.type = x[0].header.type; }), "record header: names"},
        {record(1, [](R& r) { r.deleted = 2; }), "record header: deleted"},
        {record(1, [](R& r) { r.usedSize = 1; }), "record header: usedSize"},
        {record(1, [](R& r) { r.entryCount = 1; }), "record header: entryCount"},
        {record(1, [](R& r) { r.model[0] = 'x'; }), "record header: names"},
        {blankless, "deleted extent: body"},
        {Resealed(file, x[0].entries[0].offset, e), "entry header: dataLength"},
        {record(4, [](R& r) { r.capacity = static_cast<uint16_t>(r.capacity + 1000); }),
         "record header: capacity: expected " + std::to_string(format::kRecordHeaderSize) + " to " +
             std::to_string(file.size() - x[4].offset)},
        {index(0, [&](I& e) { e.recordOffset = x[1].offset; }),
         "index entry 0: recordOffset: expected the offset of a live extent, found " + num + " (a deleted extent)"},
        {index(0, [&](I& e) { e.recordOffset = x[1].offset + 1; }), "index entry 0: recordOffset"},
        {index(1, [&](I& e) { e.recordOffset = good.index[0].recordOffset; }), "index entry 1: recordOffset"},
        {index(0, [](I& e) { e.model[0] ^= 1; }), "index entry 0: names"},
        {index(0, [](I& e) { e.model[format::NAME_FIELD_SIZE - 1] = 'x'; }), "index entry 0: names"},
        {Bytes(file.begin(), file.end() - 1), "index: length"},
    };
    for (const auto& [bytes, field] : cases) {
        const check::Report r = check::Check(bytes);
        bool found = false;
        for (const check::Violation& v : r.violations) {
            // "offset: block: field: ..." names the field whole, or says it all where expected.
            const std::string text = check::Describe(v), rest = text.substr(text.find(": ") + 2);
            found |= rest.starts_with(field) && (field.find(": expected") != field.npos || rest[field.size()] == ':');
            EXPECT_TRUE(v.fieldOffset >= v.offset && v.fieldOffset - v.offset < bytes.size()) << text;
        }
        EXPECT_TRUE(found) << field << ": not reported; first " << (r.ok() ? "none" : check::Describe(r.violations[0]));
    }
    // A deleted extent whose header does not verify hides it: its slot and the counters
    // are left unjudged, and only the header is reported.
    Bytes hidden = file;
    hidden[x[1].offset + format::kRecordHeaderSize - 1] ^= 1;
    const check::Report r = check::Check(hidden);
    EXPECT_FALSE(r.ok());
    for (const check::Violation& v : r.violations) EXPECT_EQ(v.block, "record header") << check::Describe(v);
}

}  // namespace
}  // namespace varnel32::test
