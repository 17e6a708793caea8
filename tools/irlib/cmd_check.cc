// check: every block and every invariant of a library file, read-only. Each violation names
// the offset of its block, the block, the field, and the expected and found values.
#include <cstdio>
#include <map>

#include "cli.h"
#include "json.h"
#include "scan.h"

namespace irlib {
namespace {

constexpr uint32_t kSlotsOffset = static_cast<uint32_t>(fmt::kFreeSlotsOffset);

std::string Names3(const fmt::Name& m, const fmt::Name& t, const fmt::Name& model) {
    std::string text = "\"";
    text.append(FieldText(m)).append("\" / \"").append(FieldText(t)).append("\" / \"");
    return text.append(FieldText(model)).append("\"");
}

std::string Num(uint64_t v) { return std::to_string(v); }

class Checker {
public:
    explicit Checker(std::span<const uint8_t> file) : file_(file) {}

    std::vector<Violation> violations;
    std::vector<std::string> notes;
    bool dirty = false;

    void Run() {
        const uint64_t size = file_.size();
        if (size < fmt::kHeaderSize) {
            Add(0, 0, "file", "size", "at least 1570 bytes (a header)", Num(size) + " bytes");
            return;
        }
        const BlockCheck hc = CheckBlock(fmt::BlockKind::Header, file_, 0);
        ReportBlock(fmt::BlockKind::Header, hc, 0, "header", violations);
        if (!hc.verifies) notes.push_back("the header does not verify; its fields are checked as found");
        h_ = fmt::DecodeLibraryHeader(std::span<const uint8_t, fmt::kHeaderSize>(file_.data(), fmt::kHeaderSize));
        dirty = h_.dirty != 0;
        CheckHeaderFields();
        const bool endOk = h_.dataEnd >= fmt::kRecordAreaStart && h_.dataEnd <= size;
        walk_ = WalkExtents(file_, endOk ? h_.dataEnd : static_cast<uint32_t>(size));
        for (const ExtentScan& x : walk_.extents) byOffset_[x.offset] = &x;
        CheckExtents(endOk);
        CheckCounters();
        CheckFreeSlots();
        if (!endOk) {
            notes.push_back("dataEnd is unusable; the index was not checked");
        } else if (dirty) {
            notes.push_back("dirty: the index at dataEnd is stale by design and was not checked");
        } else {
            CheckIndex();
        }
    }

private:
    void Add(uint32_t offset, uint32_t fieldOffset, std::string block, std::string field,
             std::string expected, std::string found) {
        violations.push_back({offset, fieldOffset, std::move(block), std::move(field),
                              std::move(expected), std::move(found)});
    }

    bool InGap(uint32_t offset) const {
        for (const Unreadable& g : walk_.gaps)
            if (offset >= g.offset && offset < g.end) return true;
        return false;
    }

    void CheckHeaderFields() {
        const uint32_t k = h_.kind;
        const uint32_t low = k & 0xFFu;
        if ((k >> 8) != 0 || !(low == 2 || low == 3 || low == 4 || low == 5 || low == 8 || low == 9))
            Add(0, 28, "header", "kind", "2, 3, 4, 5, 8 or 9", Num(k));
        if (h_.dirty > 1) Add(0, 32, "header", "dirty", "0 or 1", Num(h_.dirty));
        if (h_.dataEnd < fmt::kRecordAreaStart || h_.dataEnd > file_.size())
            Add(0, 24, "header", "dataEnd", "1570 to the file size " + Num(file_.size()), Num(h_.dataEnd));
    }

    void CheckExtents(bool endOk) {
        for (const Unreadable& g : walk_.gaps) {
            for (Violation v : g.problems) {
                v.found += " (no record header verifies in bytes " + Num(g.offset) + " to " +
                           Num(g.end) + ")";
                violations.push_back(std::move(v));
            }
        }
        std::vector<const ExtentScan*> live;
        for (const ExtentScan& x : walk_.extents) {
            const fmt::RecordHeader& r = x.header;
            if (endOk && x.end() > h_.dataEnd)
                Add(x.offset, x.offset + 10, "record header", "capacity",
                    "an extent that ends by dataEnd " + Num(h_.dataEnd), Num(r.capacity) +
                    " (ends at " + Num(x.end()) + ")");
            if (x.deleted()) {
                CheckDeleted(x);
                continue;
            }
            if (r.usedSize > r.capacity)
                Add(x.offset, x.offset + 8, "record header", "usedSize",
                    "at most the capacity " + Num(r.capacity), Num(r.usedSize));
            const fmt::Name* names[3] = {&r.manufacturer, &r.type, &r.model};
            const char* fields[3] = {"manufacturer", "type", "model"};
            for (int i = 0; i < 3; ++i)
                if (!fmt::HasTerminator(*names[i]))
                    Add(x.offset, x.offset + 16 + 21u * static_cast<uint32_t>(i), "record header",
                        fields[i], "a name of at most 20 characters", "no terminator");
            for (const Violation& v : x.problems) violations.push_back(v);
            for (const ExtentScan* other : live)
                if (SameName(other->header.manufacturer, r.manufacturer) &&
                    SameName(other->header.type, r.type) && SameName(other->header.model, r.model))
                    Add(x.offset, x.offset + 16, "record header", "names",
                        "names no other live record has",
                        Names3(r.manufacturer, r.type, r.model) + ", as the record at " + Num(other->offset));
            live.push_back(&x);
        }
    }

    void CheckDeleted(const ExtentScan& x) {
        const fmt::RecordHeader& r = x.header;
        if (r.deleted != 1) Add(x.offset, x.offset + 14, "record header", "deleted", "0 or 1", Num(r.deleted));
        if (r.usedSize != 0) Add(x.offset, x.offset + 8, "record header", "usedSize", "0 (deleted)", Num(r.usedSize));
        if (r.entryCount != 0)
            Add(x.offset, x.offset + 12, "record header", "entryCount", "0 (deleted)", Num(r.entryCount));
        for (uint32_t i = x.offset + 16; i < x.end(); ++i) {
            if (file_[i] != 0) {
                const bool inNames = i < x.offset + fmt::kRecordHeaderSize;
                Add(x.offset, i, inNames ? "record header" : "deleted extent",
                    inNames ? "names" : "body", "zero bytes (a blank deleted record)",
                    "a nonzero byte at " + Num(i));
                break;
            }
        }
    }

    void CheckCounters() {
        if (!walk_.gaps.empty()) {
            notes.push_back("part of the record area is unreadable; the counters were not compared");
            return;
        }
        uint32_t live = 0, deleted = 0;
        for (const ExtentScan& x : walk_.extents) ++(x.deleted() ? deleted : live);
        if (h_.recordCount != live)
            Add(0, 12, "header", "recordCount", Num(live) + " (live extents)", Num(h_.recordCount));
        if (h_.freeSlotCount != deleted)
            Add(0, 16, "header", "freeSlotCount", Num(deleted) + " (deleted extents)", Num(h_.freeSlotCount));
        uint64_t occupied = 0, sum = 0;
        for (const fmt::FreeSlot& s : h_.freeSlots)
            if (s.offset != 0) {
                ++occupied;
                sum += s.size;
            }
        if (occupied != h_.freeSlotCount && h_.freeSlotCount == deleted)
            Add(0, 16, "header", "freeSlotCount", Num(occupied) + " (occupied free slots)", Num(h_.freeSlotCount));
        if (h_.freeBytes != sum)
            Add(0, 20, "header", "freeBytes", Num(sum) + " (sum of the free slots' sizes)", Num(h_.freeBytes));
    }

    void CheckFreeSlots() {
        std::map<uint32_t, size_t> slotOf;  // extent offset -> first slot naming it
        for (size_t i = 0; i < h_.freeSlots.size(); ++i) {
            const fmt::FreeSlot& s = h_.freeSlots[i];
            if (s.offset == 0) continue;
            const std::string field = "freeSlots[" + Num(i) + "]";
            const auto at = static_cast<uint32_t>(kSlotsOffset + 6 * i);
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
                Add(0, at + 4, "header", field + ".size", Num(x.header.capacity) + " (the extent's capacity)",
                    Num(s.size));
            auto [prev, fresh] = slotOf.emplace(s.offset, i);
            if (!fresh)
                Add(0, at, "header", field + ".offset", "one slot per deleted extent",
                    Num(s.offset) + ", as freeSlots[" + Num(prev->second) + "]");
        }
        for (const ExtentScan& x : walk_.extents)
            if (x.deleted() && !slotOf.count(x.offset))
                Add(0, kSlotsOffset, "header", "freeSlots",
                    "a slot for the deleted extent at " + Num(x.offset), "none");
    }

    void CheckIndex() {
        const uint64_t need = uint64_t{h_.recordCount} * fmt::kIndexEntrySize;
        const uint64_t room = file_.size() - h_.dataEnd;
        if (need > room)
            Add(h_.dataEnd, h_.dataEnd, "index", "length",
                Num(need) + " bytes (recordCount index entries)", Num(room) + " bytes to the end of the file");
        const uint64_t count = (need > room ? room : need) / fmt::kIndexEntrySize;
        std::map<uint32_t, uint64_t> named;  // extent offset -> index entry
        bool unreadable = false;
        for (uint64_t i = 0; i < count; ++i) {
            const auto off = static_cast<uint32_t>(h_.dataEnd + i * fmt::kIndexEntrySize);
            const std::string block = "index entry " + Num(i);
            const BlockCheck c = CheckBlock(fmt::BlockKind::Index, file_, off);
            if (!c.verifies) {
                ReportBlock(fmt::BlockKind::Index, c, off, block, violations);
                unreadable = true;
                continue;
            }
            const fmt::IndexEntry e = fmt::DecodeIndexEntry(
                std::span<const uint8_t, fmt::kIndexEntrySize>(file_.data() + off, fmt::kIndexEntrySize));
            auto it = byOffset_.find(e.recordOffset);
            if (it == byOffset_.end() || it->second->deleted()) {
                if (InGap(e.recordOffset)) continue;
                Add(off, off + 67, block, "recordOffset", "the offset of a live extent",
                    Num(e.recordOffset) + (it == byOffset_.end() ? " (no extent starts there)"
                                                                 : " (a deleted extent)"));
                continue;
            }
            const fmt::RecordHeader& r = it->second->header;
            if (!SameName(e.manufacturer, r.manufacturer) || !SameName(e.type, r.type) ||
                !SameName(e.model, r.model))
                Add(off, off + 4, block, "names", Names3(r.manufacturer, r.type, r.model) + " (the record's)",
                    Names3(e.manufacturer, e.type, e.model));
            auto [prev, fresh] = named.emplace(e.recordOffset, i);
            if (!fresh)
                Add(off, off + 67, block, "recordOffset", "each live extent named once",
                    Num(e.recordOffset) + ", as index entry " + Num(prev->second));
        }
        if (unreadable || need > room) {
            notes.push_back("some index entries are unreadable; live extents they may name were not matched");
            return;
        }
        for (const ExtentScan& x : walk_.extents)
            if (!x.deleted() && !named.count(x.offset))
                Add(h_.dataEnd, h_.dataEnd, "index", "entries",
                    "an index entry for the live extent at " + Num(x.offset),
                    "none (" + Names3(x.header.manufacturer, x.header.type, x.header.model) + ")");
    }

    std::span<const uint8_t> file_;
    fmt::LibraryHeader h_;
    Walk walk_;
    std::map<uint32_t, const ExtentScan*> byOffset_;
};

}  // namespace

int RunCheck(const Args& args) {
    const std::string& file = args.positional[0];
    std::vector<uint8_t> bytes;
    std::string error;
    if (!LoadFile(file, bytes, error)) return Fail(file, error);
    Checker checker(bytes);
    checker.Run();
    const bool hotJournal = HotJournalBeside(file);
    if (hotJournal) {
        checker.notes.push_back("hot journal beside the file: a changing call was cut short; the next "
                                "open for writing undoes it");
    }
    const auto& vs = checker.violations;
    if (args.Has("--json")) {
        Json out;
        out.BeginObject().Field("file", file).Field("ok", vs.empty()).Field("dirty", checker.dirty)
            .Field("hotJournal", hotJournal);
        out.Key("violations").BeginArray();
        for (const Violation& v : vs)
            out.BeginObject().Field("offset", v.offset).Field("fieldOffset", v.fieldOffset)
                .Field("block", v.block).Field("field", v.field).Field("expected", v.expected)
                .Field("found", v.found).EndObject();
        out.EndArray().Key("notes").BeginArray();
        for (const auto& n : checker.notes) out.String(n);
        out.EndArray().EndObject();
        std::fputs(out.Text().c_str(), stdout);
    } else {
        for (const Violation& v : vs)
            std::printf("%u: %s: %s: expected %s, found %s\n", v.offset, v.block.c_str(),
                        v.field.c_str(), v.expected.c_str(), v.found.c_str());
        for (const auto& n : checker.notes) std::printf("note: %s\n", n.c_str());
        if (vs.empty()) {
            std::printf("ok\n");
        } else {
            std::printf("%zu violation%s\n", vs.size(), vs.size() == 1 ? "" : "s");
        }
    }
    if (vs.empty()) return kExitOk;
    const Violation& v = vs.front();
    return Fail(file, std::to_string(vs.size()) + " violation" + (vs.size() == 1 ? "" : "s") +
                          ", the first at offset " + std::to_string(v.offset) + " (" + v.block + ", " +
                          v.field + ")");
}

}  // namespace irlib
