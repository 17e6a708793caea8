// The checker and the walk under it; see check.h. It reads only the bytes it is given and
// never the library's state, so the same judgement applies to a file any process left.
#include "maintenance/check.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <map>

#include "format/endian.h"
#include "varnel32.h"

namespace varnel32::check {
namespace {

namespace fmt = varnel32::format;

// Where a field stands in its block, found by encoding the block with and without the field
// set: the encoder is the one place that lays the fields out.
template <typename Block, size_t N, typename Set>
uint32_t FieldAt(Set set) {
    Block plain{}, marked{};
    set(marked);
    std::array<uint8_t, N> a{}, b{};
    fmt::Encode(plain, std::span<uint8_t, N>(a));
    fmt::Encode(marked, std::span<uint8_t, N>(b));
    const auto differ = std::mismatch(a.begin(), a.end(), b.begin());
    return static_cast<uint32_t>(differ.first - a.begin());
}

struct FieldOffsets {
    uint32_t recordCount, freeSlotCount, freeBytes, dataEnd, kind, slotSize;
    uint32_t usedSize, capacity, entryCount, deleted, names;
    uint32_t indexNames, recordOffset;
};

const FieldOffsets& Offsets() {
    using H = fmt::LibraryHeader;
    using R = fmt::RecordHeader;
    using I = fmt::IndexEntry;
    constexpr size_t kH = fmt::kHeaderSize, kR = fmt::kRecordHeaderSize, kI = fmt::kIndexEntrySize;
    static const FieldOffsets o{
        FieldAt<H, kH>([](H& h) { h.recordCount = ~0u; }),
        FieldAt<H, kH>([](H& h) { h.freeSlotCount = ~0u; }),
        FieldAt<H, kH>([](H& h) { h.freeBytes = ~0u; }),
        FieldAt<H, kH>([](H& h) { h.dataEnd = ~0u; }),
        FieldAt<H, kH>([](H& h) { h.kind = ~0u; }),
        FieldAt<H, kH>([](H& h) { h.freeSlots[0].size = 0xFFFF; }) -
            static_cast<uint32_t>(fmt::kFreeSlotsOffset),
        FieldAt<R, kR>([](R& r) { r.usedSize = 0xFFFF; }),
        FieldAt<R, kR>([](R& r) { r.capacity = 0xFFFF; }),
        FieldAt<R, kR>([](R& r) { r.entryCount = 0xFFFF; }),
        FieldAt<R, kR>([](R& r) { r.deleted = 0xFFFF; }),
        FieldAt<R, kR>([](R& r) { r.manufacturer[0] = 'x'; }),
        FieldAt<I, kI>([](I& e) { e.manufacturer[0] = 'x'; }),
        FieldAt<I, kI>([](I& e) { e.recordOffset = ~0u; }),
    };
    return o;
}

std::string Num(uint64_t v) { return std::to_string(v); }

char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool ZeroAfterTerminator(const fmt::Name& name) {
    const auto end = std::find(name.begin(), name.end(), '\0');
    return end != name.end() && std::all_of(end, name.end(), [](char c) { return c == 0; });
}

std::string Names3(const fmt::Name& m, const fmt::Name& t, const fmt::Name& model) {
    std::string text = "\"";
    text.append(FieldText(m)).append("\" / \"").append(FieldText(t)).append("\" / \"");
    return text.append(FieldText(model)).append("\"");
}

// Why the record header at `p` cannot carry the walk on; `x` is what ExtentAt made of it.
void Refusal(std::span<const uint8_t> file, const Extent& x, std::vector<Violation>& why) {
    const uint32_t p = x.offset;
    const BlockCheck c = CheckBlock(fmt::BlockKind::Record, file, p);
    if (!c.verifies) {
        if (file.size() - p < fmt::kRecordHeaderSize) {
            why.push_back({p, p, "record header", "length", Num(fmt::kRecordHeaderSize) + " bytes",
                           Num(file.size() - p) + " bytes before the end of the file"});
        } else {
            ReportBlock(fmt::BlockKind::Record, c, p, "record header", why);
        }
        return;
    }
    const uint16_t capacity = fmt::Load16(file.data() + p + Offsets().capacity);
    why.push_back({p, p + Offsets().capacity, "record header", "capacity",
                   Num(fmt::kRecordHeaderSize) + " to " + Num(file.size() - p) + " (the rest of the file)",
                   Num(capacity)});
}

void WalkEntries(std::span<const uint8_t> file, ExtentScan& x) {
    const fmt::RecordHeader& h = x.header;
    const uint32_t used = x.offset + h.usedSize;
    uint32_t pos = x.offset + static_cast<uint32_t>(fmt::kRecordHeaderSize);
    for (uint32_t i = 0; i < h.entryCount; ++i) {
        const std::string block = "entry header";
        if (pos + fmt::kEntryHeaderSize > x.end()) {
            x.problems.push_back({x.offset, x.offset + Offsets().entryCount, "record header", "entryCount",
                                  Num(i) + " (entries that fit the extent)", Num(h.entryCount)});
            return;
        }
        const BlockCheck c = CheckBlock(fmt::BlockKind::Entry, file, pos);
        if (!c.verifies) {
            ReportBlock(fmt::BlockKind::Entry, c, pos, block, x.problems);
            return;
        }
        EntryScan e;
        e.offset = pos;
        e.header = fmt::DecodeEntryHeader(
            std::span<const uint8_t, fmt::kEntryHeaderSize>(file.data() + pos, fmt::kEntryHeaderSize));
        x.entries.push_back(e);
        pos += static_cast<uint32_t>(fmt::kEntryHeaderSize) + e.header.dataLength();
        if (pos > x.end()) {
            x.problems.push_back({e.offset, e.offset + static_cast<uint32_t>(fmt::kEntryDataLengthOffset),
                                  block, "dataLength",
                                  "data that ends inside the extent (by " + Num(x.end()) + ")",
                                  Num(e.header.dataLength())});
            return;
        }
    }
    if (pos != used)
        x.problems.push_back({x.offset, x.offset + Offsets().usedSize, "record header", "usedSize",
                              Num(pos - x.offset) + " (" + Num(fmt::kRecordHeaderSize) + " + the entries)",
                              Num(h.usedSize)});
}

class Checker {
public:
    explicit Checker(std::span<const uint8_t> file, Report& report) : file_(file), r_(report) {}

    void Run() {
        const uint64_t size = file_.size();
        if (size < fmt::kHeaderSize) {
            Add(0, 0, "file", "size", "at least " + Num(fmt::kHeaderSize) + " bytes (a header)",
                Num(size) + " bytes");
            return;
        }
        const BlockCheck hc = CheckBlock(fmt::BlockKind::Header, file_, 0);
        ReportBlock(fmt::BlockKind::Header, hc, 0, "header", r_.violations);
        r_.headerVerifies = hc.verifies;
        if (!hc.verifies) r_.notes.push_back("the header does not verify; its fields are checked as found");
        r_.header = fmt::DecodeLibraryHeader(std::span<const uint8_t, fmt::kHeaderSize>(file_.data(), fmt::kHeaderSize));
        r_.dirty = h().dirty != 0;
        CheckHeaderFields();
        const bool endOk = h().dataEnd >= fmt::kRecordAreaStart && h().dataEnd <= size;
        r_.walk = WalkExtents(file_, endOk ? h().dataEnd : static_cast<uint32_t>(size));
        for (const ExtentScan& x : r_.walk.extents) byOffset_[x.offset] = &x;
        CheckExtents(endOk);
        CheckCounters();
        CheckFreeSlots();
        if (!endOk) {
            r_.notes.push_back("dataEnd is unusable; the index was not checked");
        } else if (r_.dirty) {
            r_.notes.push_back("dirty: the index at dataEnd is stale by design and was not checked");
        } else {
            CheckIndex();
        }
    }

private:
    const fmt::LibraryHeader& h() const { return r_.header; }

    void Add(uint32_t offset, uint32_t fieldOffset, std::string block, std::string field,
             std::string expected, std::string found) {
        r_.violations.push_back({offset, fieldOffset, std::move(block), std::move(field),
                                 std::move(expected), std::move(found)});
    }

    bool InGap(uint32_t offset) const {
        for (const Unreadable& g : r_.walk.gaps)
            if (offset >= g.offset && offset < g.end) return true;
        return false;
    }

    void CheckHeaderFields() {
        const uint32_t k = h().kind;
        const uint32_t base = k & ~uint32_t{IRKindWriteProtected};
        if (base != IRKindInfrared && base != IRKindCommand && base != IRKind8) {
            std::string valid;
            for (const uint32_t b : {IRKindInfrared, IRKindCommand, IRKind8})
                valid += Num(b) + ", " + Num(b | IRKindWriteProtected) + (b == IRKind8 ? "" : ", ");
            valid.replace(valid.rfind(", "), 2, " or ");
            Add(0, Offsets().kind, "header", "kind", valid, Num(k));
        }
        if (h().dirty > 1) Add(0, static_cast<uint32_t>(fmt::kHeaderDirtyOffset), "header", "dirty", "0 or 1", Num(h().dirty));
        if (h().dataEnd < fmt::kRecordAreaStart || h().dataEnd > file_.size())
            Add(0, Offsets().dataEnd, "header", "dataEnd",
                Num(fmt::kRecordAreaStart) + " to the file size " + Num(file_.size()), Num(h().dataEnd));
    }

    void CheckExtents(bool endOk) {
        for (const Unreadable& g : r_.walk.gaps) {
            for (Violation v : g.problems) {
                v.found += " (no record header verifies in bytes " + Num(g.offset) + " to " + Num(g.end) + ")";
                r_.violations.push_back(std::move(v));
            }
        }
        const FieldOffsets& o = Offsets();
        std::vector<const ExtentScan*> live;
        for (const ExtentScan& x : r_.walk.extents) {
            const fmt::RecordHeader& r = x.header;
            if (endOk && x.end() > h().dataEnd)
                Add(x.offset, x.offset + o.capacity, "record header", "capacity",
                    "an extent that ends by dataEnd " + Num(h().dataEnd),
                    Num(r.capacity) + " (ends at " + Num(x.end()) + ")");
            if (x.deleted()) {
                CheckDeleted(x);
                continue;
            }
            if (r.usedSize > r.capacity)
                Add(x.offset, x.offset + o.usedSize, "record header", "usedSize",
                    "at most the capacity " + Num(r.capacity), Num(r.usedSize));
            const fmt::Name* names[3] = {&r.manufacturer, &r.type, &r.model};
            const char* fields[3] = {"manufacturer", "type", "model"};
            for (uint32_t i = 0; i < 3; ++i)
                if (!fmt::HasTerminator(*names[i]))
                    Add(x.offset, x.offset + o.names + static_cast<uint32_t>(fmt::NAME_FIELD_SIZE) * i,
                        "record header", fields[i], "a name of at most " + Num(fmt::NAME_FIELD_SIZE - 1) + " characters",
                        "no terminator");
            for (const Violation& v : x.problems) r_.violations.push_back(v);
            for (const ExtentScan* other : live)
                if (SameName(other->header.manufacturer, r.manufacturer) &&
                    SameName(other->header.type, r.type) && SameName(other->header.model, r.model))
                    Add(x.offset, x.offset + o.names, "record header", "names", "names no other live record has",
                        Names3(r.manufacturer, r.type, r.model) + ", as the record at " + Num(other->offset));
            live.push_back(&x);
        }
    }

    void CheckDeleted(const ExtentScan& x) {
        const fmt::RecordHeader& r = x.header;
        const FieldOffsets& o = Offsets();
        if (r.deleted != 1) Add(x.offset, x.offset + o.deleted, "record header", "deleted", "0 or 1", Num(r.deleted));
        if (r.usedSize != 0) Add(x.offset, x.offset + o.usedSize, "record header", "usedSize", "0 (deleted)", Num(r.usedSize));
        if (r.entryCount != 0)
            Add(x.offset, x.offset + o.entryCount, "record header", "entryCount", "0 (deleted)", Num(r.entryCount));
        for (uint32_t i = x.offset + o.names; i < x.end(); ++i) {
            if (file_[i] != 0) {
                const bool inNames = i < x.offset + fmt::kRecordHeaderSize;
                Add(x.offset, i, inNames ? "record header" : "deleted extent", inNames ? "names" : "body",
                    "zero bytes (a blank deleted record)", "a nonzero byte at " + Num(i));
                break;
            }
        }
    }

    void CheckCounters() {
        if (!r_.walk.gaps.empty()) {
            r_.notes.push_back("part of the record area is unreadable; the counters were not compared");
            return;
        }
        const FieldOffsets& o = Offsets();
        uint32_t live = 0, deleted = 0;
        for (const ExtentScan& x : r_.walk.extents) ++(x.deleted() ? deleted : live);
        if (h().recordCount != live)
            Add(0, o.recordCount, "header", "recordCount", Num(live) + " (live extents)", Num(h().recordCount));
        if (h().freeSlotCount != deleted)
            Add(0, o.freeSlotCount, "header", "freeSlotCount", Num(deleted) + " (deleted extents)",
                Num(h().freeSlotCount));
        uint64_t occupied = 0, sum = 0;
        for (const fmt::FreeSlot& s : h().freeSlots)
            if (s.offset != 0) {
                ++occupied;
                sum += s.size;
            }
        if (occupied != h().freeSlotCount && h().freeSlotCount == deleted)
            Add(0, o.freeSlotCount, "header", "freeSlotCount", Num(occupied) + " (occupied free slots)",
                Num(h().freeSlotCount));
        if (h().freeBytes != sum)
            Add(0, o.freeBytes, "header", "freeBytes", Num(sum) + " (sum of the free slots' sizes)", Num(h().freeBytes));
    }

    void CheckFreeSlots() {
        const uint32_t slots = static_cast<uint32_t>(fmt::kFreeSlotsOffset);
        std::map<uint32_t, size_t> slotOf;  // extent offset -> first slot naming it
        for (size_t i = 0; i < h().freeSlots.size(); ++i) {
            const fmt::FreeSlot& s = h().freeSlots[i];
            const std::string field = "freeSlots[" + Num(i) + "]";
            const auto at = static_cast<uint32_t>(slots + fmt::kFreeSlotSize * i);
            if (s.offset == 0) {
                if (s.size != 0) Add(0, at + Offsets().slotSize, "header", field + ".size", "0 (an empty slot)", Num(s.size));
                continue;
            }
            if (InGap(s.offset)) continue;
            auto it = byOffset_.find(s.offset);
            if (it == byOffset_.end()) {
                Add(0, at, "header", field + ".offset", "the offset of a deleted extent",
                    Num(s.offset) + " (no extent starts there)");
                continue;
            }
            const ExtentScan& x = *it->second;
            if (!x.deleted()) {
                Add(0, at, "header", field + ".offset", "the offset of a deleted extent",
                    Num(s.offset) + " (a live extent, " +
                        Names3(x.header.manufacturer, x.header.type, x.header.model) + ")");
                continue;
            }
            if (s.size != x.header.capacity)
                Add(0, at + Offsets().slotSize, "header", field + ".size",
                    Num(x.header.capacity) + " (the extent's capacity)", Num(s.size));
            auto [prev, fresh] = slotOf.emplace(s.offset, i);
            if (!fresh)
                Add(0, at, "header", field + ".offset", "one slot per deleted extent",
                    Num(s.offset) + ", as freeSlots[" + Num(prev->second) + "]");
        }
        for (const ExtentScan& x : r_.walk.extents)
            if (x.deleted() && !slotOf.count(x.offset))
                Add(0, slots, "header", "freeSlots", "a slot for the deleted extent at " + Num(x.offset), "none");
    }

    void CheckIndex() {
        const FieldOffsets& o = Offsets();
        const uint32_t end = h().dataEnd;
        const uint64_t need = uint64_t{h().recordCount} * fmt::kIndexEntrySize;
        const uint64_t room = file_.size() - end;
        if (need > room)
            Add(end, end, "index", "length", Num(need) + " bytes (recordCount index entries)",
                Num(room) + " bytes to the end of the file");
        const uint64_t count = (need > room ? room : need) / fmt::kIndexEntrySize;
        std::map<uint32_t, uint64_t> named;  // extent offset -> index entry
        bool unreadable = false;
        for (uint64_t i = 0; i < count; ++i) {
            const auto off = static_cast<uint32_t>(end + i * fmt::kIndexEntrySize);
            const std::string block = "index entry " + Num(i);
            const BlockCheck c = CheckBlock(fmt::BlockKind::Index, file_, off);
            if (!c.verifies) {
                ReportBlock(fmt::BlockKind::Index, c, off, block, r_.violations);
                unreadable = true;
                continue;
            }
            const fmt::IndexEntry e = fmt::DecodeIndexEntry(
                std::span<const uint8_t, fmt::kIndexEntrySize>(file_.data() + off, fmt::kIndexEntrySize));
            r_.index.push_back(e);
            auto it = byOffset_.find(e.recordOffset);
            if (it == byOffset_.end() || it->second->deleted()) {
                if (InGap(e.recordOffset)) continue;
                Add(off, off + o.recordOffset, block, "recordOffset", "the offset of a live extent",
                    Num(e.recordOffset) + (it == byOffset_.end() ? " (no extent starts there)" : " (a deleted extent)"));
                continue;
            }
            const fmt::RecordHeader& r = it->second->header;
            if (!SameName(e.manufacturer, r.manufacturer) || !SameName(e.type, r.type) || !SameName(e.model, r.model))
                Add(off, off + o.indexNames, block, "names", Names3(r.manufacturer, r.type, r.model) + " (the record's)",
                    Names3(e.manufacturer, e.type, e.model));
            else if (!ZeroAfterTerminator(e.manufacturer) || !ZeroAfterTerminator(e.type) ||
                     !ZeroAfterTerminator(e.model))
                Add(off, off + o.indexNames, block, "names", "zero bytes after each terminator",
                    "other bytes after " + Names3(e.manufacturer, e.type, e.model));
            auto [prev, fresh] = named.emplace(e.recordOffset, i);
            if (!fresh)
                Add(off, off + o.recordOffset, block, "recordOffset", "each live extent named once",
                    Num(e.recordOffset) + ", as index entry " + Num(prev->second));
        }
        if (unreadable || need > room) {
            r_.notes.push_back("some index entries are unreadable; live extents they may name were not matched");
            return;
        }
        for (const ExtentScan& x : r_.walk.extents)
            if (!x.deleted() && !named.count(x.offset))
                Add(end, end, "index", "entries", "an index entry for the live extent at " + Num(x.offset),
                    "none (" + Names3(x.header.manufacturer, x.header.type, x.header.model) + ")");
    }

    std::span<const uint8_t> file_;
    Report& r_;
    std::map<uint32_t, const ExtentScan*> byOffset_;
};

}  // namespace

std::string Describe(const Violation& v) {
    return Num(v.offset) + ": " + v.block + ": " + v.field + ": expected " + v.expected + ", found " + v.found;
}

BlockCheck CheckBlock(fmt::BlockKind kind, std::span<const uint8_t> file, uint64_t offset) {
    BlockCheck c;
    const fmt::BlockShape shape = fmt::ShapeOf(kind);
    if (offset > file.size() || file.size() - offset < shape.size) {
        c.magicOk = !shape.hasMagic;
        return c;
    }
    const auto block = file.subspan(static_cast<size_t>(offset), shape.size);
    c.storedCrc = fmt::Load32(block.data() + shape.crcOffset);
    c.computedCrc = fmt::BlockChecksum(kind, block);
    if (shape.hasMagic) {
        c.magic = fmt::Load32(block.data());
        c.magicOk = c.magic == shape.magic;
    }
    c.verifies = c.magicOk && c.storedCrc == c.computedCrc;
    return c;
}

void ReportBlock(fmt::BlockKind kind, const BlockCheck& check, uint32_t offset, const std::string& block,
                 std::vector<Violation>& out) {
    const fmt::BlockShape shape = fmt::ShapeOf(kind);
    if (!check.magicOk) out.push_back({offset, offset, block, "magic", Hex32(shape.magic), Hex32(check.magic)});
    if (check.storedCrc != check.computedCrc)
        out.push_back({offset, offset + static_cast<uint32_t>(shape.crcOffset), block, "crc",
                       Hex32(check.computedCrc), Hex32(check.storedCrc)});
}

Extent ExtentAt(std::span<const uint8_t> bytes, uint32_t base, uint32_t offset, uint64_t fileSize,
                bool checksumKnown) {
    Extent x;
    x.offset = offset;
    if (offset < base || offset - base > bytes.size() || bytes.size() - (offset - base) < fmt::kRecordHeaderSize)
        return x;
    const std::span<const uint8_t, fmt::kRecordHeaderSize> block(bytes.data() + (offset - base),
                                                                 fmt::kRecordHeaderSize);
    if (checksumKnown ? fmt::Load32(block.data()) != fmt::kRecordMagic : !fmt::Verify(fmt::BlockKind::Record, block))
        return x;
    x.header = fmt::DecodeRecordHeader(block);
    x.verified = x.header.capacity >= fmt::kRecordHeaderSize && fileSize - offset >= x.header.capacity;
    return x;
}

Walk WalkExtents(std::span<const uint8_t> file, uint32_t stop) {
    Walk walk;
    if (stop > file.size()) stop = static_cast<uint32_t>(file.size());
    uint32_t p = fmt::kRecordAreaStart;
    while (p < stop) {
        Extent refused;
        p = VisitExtents(file, p, stop, [&](const Extent& x) {
            if (!x.verified) {
                refused = x;
                return false;
            }
            ExtentScan scan;
            static_cast<Extent&>(scan) = x;
            if (!x.deleted()) WalkEntries(file, scan);
            walk.extents.push_back(std::move(scan));
            return true;
        });
        if (p >= stop) break;
        // Search on for a record header that verifies; a magic test first keeps it fast.
        Unreadable gap;
        gap.offset = p;
        Refusal(file, refused, gap.problems);
        uint32_t q = p + 1;
        for (; q < stop; ++q) {
            if (file.size() - q < fmt::kRecordHeaderSize) {
                q = stop;
                break;
            }
            if (fmt::Load32(file.data() + q) == fmt::kRecordMagic && ExtentAt(file, 0, q, file.size()).verified) break;
        }
        gap.end = q;
        walk.gaps.push_back(std::move(gap));
        p = q;
    }
    walk.end = p;
    return walk;
}

Report Check(std::span<const uint8_t> file) {
    Report report;
    Checker(file, report).Run();
    return report;
}

std::string FieldText(const fmt::Name& name) { return std::string(name.data(), strnlen(name.data(), name.size())); }

std::string Hex32(uint32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", value);
    return buf;
}

bool SameName(const fmt::Name& a, const fmt::Name& b) {
    for (size_t i = 0; i < a.size(); ++i) {
        if (Fold(a[i]) != Fold(b[i])) return false;
        if (a[i] == 0) return true;
    }
    return true;
}

}  // namespace varnel32::check
