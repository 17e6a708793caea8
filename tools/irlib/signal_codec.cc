// Encoding and decoding of entries. Decoding trusts nothing: entries come from files that
// may be damaged or written by other programs, so every length is checked against the data.
#include "signal_codec.h"

#include <algorithm>
#include <cstring>

#include "format/endian.h"
#include "names.h"

namespace irlib {
namespace {

enum InfoTag : uint8_t {
    kTagManufacturer = 1,
    kTagType = 2,
    kTagModel = 3,
    kTagPath = 4,
    kTagFiletype = 5,
    kTagVersion = 6,
};

void Put16(std::array<uint8_t, kHeadSize>& head, size_t offset, uint16_t v) {
    fmt::Store16(head.data() + offset, v);
}

void Put32(std::array<uint8_t, kHeadSize>& head, size_t offset, uint32_t v) {
    fmt::Store32(head.data() + offset, v);
}

void PutBytes(std::vector<uint8_t>& out, std::string_view s) {
    PutVarint(out, static_cast<uint32_t>(s.size()));
    out.insert(out.end(), s.begin(), s.end());
}

bool GetBytes(std::span<const uint8_t> data, size_t& pos, std::string& out) {
    uint32_t n = 0;
    if (!GetVarint(data, pos, n) || n > data.size() - pos) return false;
    out.assign(reinterpret_cast<const char*>(data.data() + pos), n);
    pos += n;
    return true;
}

bool NeedsFullName(std::string_view name) {
    return name.size() > kMaxName || name.find('\0') != std::string_view::npos;
}

// Writes the (possibly shortened) name into the head and, when shortened, the full name at
// the start of the data.
void PutName(Entry& e, std::string_view name, std::string* shortenedFrom) {
    std::string field = ShortenName(name);
    if (const size_t nul = field.find('\0'); nul != std::string::npos) field.resize(nul);
    std::memcpy(e.head.data() + kHeadNameOffset, field.data(), field.size());
    if (NeedsFullName(name)) {
        Put16(e.head, kHeadFlagsOffset, static_cast<uint16_t>(HeadU16(e.head, kHeadFlagsOffset) | kFlagLongName));
        PutBytes(e.data, name);
        if (shortenedFrom) *shortenedFrom = std::string(name);
    }
}

void Finish(Entry& e) {
    // A record holds at most 65535 bytes, so a longer entry is refused by the caller's size
    // check before the clipped length could ever be stored.
    Put16(e.head, kHeadDataLengthOffset,
          static_cast<uint16_t>(std::min<size_t>(e.data.size(), fmt::kMaxRecordSize)));
}

// The name of an entry: the full one from the data when the flag says so.
bool TakeName(std::span<const uint8_t, kHeadSize> head, std::span<const uint8_t> data,
              size_t& pos, std::string& name) {
    if (HeadU16(head, kHeadFlagsOffset) & kFlagLongName) return GetBytes(data, pos, name);
    name = HeadName(head);
    return true;
}

bool Fail(std::string& error, std::string message) {
    error = std::move(message);
    return false;
}

}  // namespace

const std::vector<std::string>& ProtocolTable() {
    static const std::vector<std::string> table = {
        "",        "NEC",    "NECext", "NEC42", "NEC42ext", "Samsung32", "RC6",     "RC5",
        "RC5X",    "SIRC",   "SIRC15", "SIRC20", "Kaseikyo", "RCA",       "Pioneer",
    };
    return table;
}

uint8_t HeadKind(std::span<const uint8_t, kHeadSize> head) { return head[kHeadKindOffset]; }

std::string HeadName(std::span<const uint8_t, kHeadSize> head) {
    const char* p = reinterpret_cast<const char*>(head.data() + kHeadNameOffset);
    return std::string(p, strnlen(p, kMaxName + 1));
}

uint16_t HeadU16(std::span<const uint8_t, kHeadSize> head, size_t offset) {
    return fmt::Load16(head.data() + offset);
}

uint32_t HeadU32(std::span<const uint8_t, kHeadSize> head, size_t offset) {
    return fmt::Load32(head.data() + offset);
}

void PutVarint(std::vector<uint8_t>& out, uint32_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<uint8_t>(value));
}

bool GetVarint(std::span<const uint8_t> data, size_t& pos, uint32_t& value) {
    uint64_t v = 0;
    for (unsigned shift = 0; shift < 35; shift += 7) {
        if (pos >= data.size()) return false;
        const uint8_t b = data[pos++];
        v |= static_cast<uint64_t>(b & 0x7F) << shift;
        if (!(b & 0x80)) {
            if (v > 0xFFFFFFFFu) return false;
            value = static_cast<uint32_t>(v);
            return true;
        }
    }
    return false;
}

Entry EncodeItem(const Item& item, std::string* shortenedFrom) {
    if (shortenedFrom) shortenedFrom->clear();
    Entry e;
    switch (item.kind) {
    case Item::Kind::Comment:
        e.head[kHeadKindOffset] = static_cast<uint8_t>(EntryKind::Comment);
        e.data.assign(item.text.begin(), item.text.end());
        break;
    case Item::Kind::Verbatim:
        e.head[kHeadKindOffset] = static_cast<uint8_t>(EntryKind::Verbatim);
        PutName(e, item.name, shortenedFrom);
        e.data.insert(e.data.end(), item.text.begin(), item.text.end());
        break;
    case Item::Kind::Signal: {
        const Signal& s = item.signal;
        if (s.type == Signal::Type::Parsed) {
            e.head[kHeadKindOffset] = static_cast<uint8_t>(EntryKind::Parsed);
            PutName(e, s.name, shortenedFrom);
            const auto& table = ProtocolTable();
            uint16_t code = 0;
            for (size_t i = 1; i < table.size(); ++i)
                if (table[i] == s.protocol) code = static_cast<uint16_t>(i);
            Put16(e.head, kHeadProtocolCodeOffset, code);
            if (code == 0) {
                Put16(e.head, kHeadFlagsOffset, static_cast<uint16_t>(HeadU16(e.head, kHeadFlagsOffset) | kFlagProtocolText));
                PutBytes(e.data, s.protocol);
            }
            std::memcpy(e.head.data() + kHeadAddressOffset, s.address.data(), s.address.size());
            std::memcpy(e.head.data() + kHeadCommandOffset, s.command.data(), s.command.size());
        } else {
            e.head[kHeadKindOffset] = static_cast<uint8_t>(EntryKind::Raw);
            PutName(e, s.name, shortenedFrom);
            Put16(e.head, kHeadTimingCountOffset,
                  static_cast<uint16_t>(s.timings.size() > 0xFFFF ? 0xFFFF : s.timings.size()));
            e.head[kHeadDutyDecimalsOffset] = s.dutyDecimals;
            Put32(e.head, kHeadFrequencyOffset, s.frequency);
            Put32(e.head, kHeadDutyOffset, s.dutyMillionths);
            for (uint32_t t : s.timings) PutVarint(e.data, t);
        }
        break;
    }
    }
    Finish(e);
    return e;
}

bool DecodeItem(std::span<const uint8_t, kHeadSize> head, std::span<const uint8_t> data,
                Item& out, std::string& error) {
    out = Item{};
    const uint16_t flags = HeadU16(head, kHeadFlagsOffset);
    size_t pos = 0;
    switch (static_cast<EntryKind>(HeadKind(head))) {
    case EntryKind::Comment:
        if (flags) return Fail(error, "comment with unknown flags");
        out.kind = Item::Kind::Comment;
        out.text.assign(reinterpret_cast<const char*>(data.data()), data.size());
        return true;
    case EntryKind::Verbatim:
        if (flags & ~kFlagLongName) return Fail(error, "verbatim block with unknown flags");
        out.kind = Item::Kind::Verbatim;
        if (!TakeName(head, data, pos, out.name)) return Fail(error, "name runs past the data");
        out.text.assign(reinterpret_cast<const char*>(data.data() + pos), data.size() - pos);
        return true;
    case EntryKind::Parsed: {
        if (flags & ~(kFlagLongName | kFlagProtocolText))
            return Fail(error, "parsed signal with unknown flags");
        Signal& s = out.signal;
        s.type = Signal::Type::Parsed;
        if (!TakeName(head, data, pos, s.name)) return Fail(error, "name runs past the data");
        const uint16_t code = HeadU16(head, kHeadProtocolCodeOffset);
        if (flags & kFlagProtocolText) {
            if (code != 0) return Fail(error, "protocol given twice");
            if (!GetBytes(data, pos, s.protocol)) return Fail(error, "protocol runs past the data");
        } else {
            if (code == 0 || code >= ProtocolTable().size())
                return Fail(error, "unknown protocol code " + std::to_string(code));
            s.protocol = ProtocolTable()[code];
        }
        if (pos != data.size()) return Fail(error, "bytes left over after the signal");
        std::memcpy(s.address.data(), head.data() + kHeadAddressOffset, s.address.size());
        std::memcpy(s.command.data(), head.data() + kHeadCommandOffset, s.command.size());
        return true;
    }
    case EntryKind::Raw: {
        if (flags & ~kFlagLongName) return Fail(error, "raw signal with unknown flags");
        Signal& s = out.signal;
        s.type = Signal::Type::Raw;
        if (!TakeName(head, data, pos, s.name)) return Fail(error, "name runs past the data");
        s.frequency = HeadU32(head, kHeadFrequencyOffset);
        s.dutyMillionths = HeadU32(head, kHeadDutyOffset);
        s.dutyDecimals = head[kHeadDutyDecimalsOffset];
        if (s.dutyDecimals > 6) return Fail(error, "duty cycle with more than 6 decimals");
        while (pos < data.size()) {
            uint32_t t = 0;
            if (!GetVarint(data, pos, t)) return Fail(error, "timing runs past the data");
            s.timings.push_back(t);
        }
        const uint16_t count = HeadU16(head, kHeadTimingCountOffset);
        if (count != 0xFFFF && count != s.timings.size())
            return Fail(error, "timing count " + std::to_string(count) + " but " +
                                   std::to_string(s.timings.size()) + " timings");
        return true;
    }
    case EntryKind::Info:
        return Fail(error, "a #remote entry is not a signal");
    }
    return Fail(error, "entry kind " + std::to_string(HeadKind(head)) + " is not an IR signal");
}

Entry EncodeInfo(const RemoteInfo& info) {
    Entry e;
    e.head[kHeadKindOffset] = static_cast<uint8_t>(EntryKind::Info);
    Put16(e.head, kHeadPartOffset, info.part);
    Put16(e.head, kHeadPartsOffset, info.parts);
    std::memcpy(e.head.data() + kHeadNameOffset, kInfoEntryName, sizeof kInfoEntryName - 1);
    auto tag = [&](InfoTag t, const std::string& value) {
        e.data.push_back(t);
        PutBytes(e.data, value);
    };
    if (!info.manufacturer.empty()) tag(kTagManufacturer, info.manufacturer);
    if (!info.type.empty()) tag(kTagType, info.type);
    if (!info.model.empty()) tag(kTagModel, info.model);
    if (!info.path.empty()) tag(kTagPath, info.path);
    if (info.filetype) tag(kTagFiletype, *info.filetype);
    if (info.version) tag(kTagVersion, *info.version);
    Finish(e);
    return e;
}

bool DecodeInfo(std::span<const uint8_t, kHeadSize> head, std::span<const uint8_t> data,
                RemoteInfo& out, std::string& error) {
    out = RemoteInfo{};
    if (HeadKind(head) != static_cast<uint8_t>(EntryKind::Info)) return Fail(error, "not a #remote entry");
    out.part = HeadU16(head, kHeadPartOffset);
    out.parts = HeadU16(head, kHeadPartsOffset);
    if (out.part == 0 || out.part > out.parts) return Fail(error, "part number out of range");
    size_t pos = 0;
    while (pos < data.size()) {
        const uint8_t t = data[pos++];
        std::string value;
        if (!GetBytes(data, pos, value)) return Fail(error, "#remote field runs past the data");
        switch (t) {
        case kTagManufacturer: out.manufacturer = value; break;
        case kTagType: out.type = value; break;
        case kTagModel: out.model = value; break;
        case kTagPath: out.path = value; break;
        case kTagFiletype: out.filetype = value; break;
        case kTagVersion: out.version = value; break;
        default: break;  // a later tag that this version does not know: skipped
        }
    }
    return true;
}

}  // namespace irlib
