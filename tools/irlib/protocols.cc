// Rendering and decoding of the common consumer IR protocols. Three frame shapes cover them:
// pulse distance (NEC family, Samsung32, RCA, Kaseikyo, Pioneer), pulse width (SIRC) and
// bi-phase (RC5, RC6). Each protocol is a row of numbers plus how its fields pack into bits.
//
// Kaseikyo's packing was checked against the raw "Red" capture of
// TVs/Panasonic/Panasonic_N2QAYB000715.ir in the shared sample: its 48 bits are vendor 0x2002,
// genre1 8, genre2 0, data 0x300, id 1, which is address 80 02 20 01 / command 00 03, the
// address of that file's Green/Yellow/Blue keys (commands 10 03, 20 03, 30 03). Pioneer's
// timing (8500/4225 leader, 500/500 and 500/1500 bits, 40 kHz, 26 ms gap) and its address
// byte were checked against the raw captures of
// Audio_and_Video_Receivers/Pioneer/Pioneer_XXD3089.ir, whose first frames carry address A5,
// the address of every parsed signal there.
#include "protocols.h"

#include <algorithm>

namespace irlib {
namespace {

constexpr uint32_t kFrameGap = 6000;  // a space this long ends a frame in every protocol here

bool Near(uint32_t actual, uint32_t nominal) {
    const uint32_t slack = std::max<uint32_t>(nominal / 4, 200);
    return actual + slack >= nominal && actual <= nominal + slack;
}

// ---- Frame shapes ----------------------------------------------------------------------

struct PulseDistance {
    uint32_t leadMark, leadSpace, bitMark, zeroSpace, oneSpace;
    int bits;
    bool msbFirst;
};

void Put(std::vector<uint32_t>& out, uint32_t mark, uint32_t space) {
    out.push_back(mark);
    out.push_back(space);
}

// The frame without its final space.
std::vector<uint32_t> DistanceFrame(const PulseDistance& p, uint64_t value) {
    std::vector<uint32_t> out;
    Put(out, p.leadMark, p.leadSpace);
    for (int i = 0; i < p.bits; ++i) {
        const int bit = p.msbFirst ? p.bits - 1 - i : i;
        Put(out, p.bitMark, (value >> bit) & 1 ? p.oneSpace : p.zeroSpace);
    }
    out.push_back(p.bitMark);
    return out;
}

bool ReadDistance(const PulseDistance& p, std::span<const uint32_t> f, uint64_t& value) {
    if (f.size() != 2 + 2 * static_cast<size_t>(p.bits) + 1) return false;
    if (!Near(f[0], p.leadMark) || !Near(f[1], p.leadSpace)) return false;
    value = 0;
    for (int i = 0; i < p.bits; ++i) {
        const size_t at = 2 + 2 * static_cast<size_t>(i);
        const uint32_t mark = f[at], space = f[at + 1];
        if (!Near(mark, p.bitMark)) return false;
        uint64_t bit;
        if (Near(space, p.zeroSpace)) bit = 0;
        else if (Near(space, p.oneSpace)) bit = 1;
        else return false;
        value |= bit << (p.msbFirst ? p.bits - 1 - i : i);
    }
    return Near(f.back(), p.bitMark);
}

// SIRC: the mark carries the bit; LSB first; the frame ends with the last bit's mark.
constexpr uint32_t kSircT = 600;

std::vector<uint32_t> WidthFrame(int bits, uint64_t value) {
    std::vector<uint32_t> out;
    Put(out, 4 * kSircT, kSircT);
    for (int i = 0; i < bits; ++i) Put(out, (value >> i) & 1 ? 2 * kSircT : kSircT, kSircT);
    out.pop_back();
    return out;
}

bool ReadWidth(std::span<const uint32_t> f, int& bits, uint64_t& value) {
    if (f.size() < 4 || f.size() % 2 != 1) return false;
    if (!Near(f[0], 4 * kSircT) || !Near(f[1], kSircT)) return false;
    bits = static_cast<int>(f.size() - 1) / 2;
    value = 0;
    for (int i = 0; i < bits; ++i) {
        const size_t at = 2 + 2 * static_cast<size_t>(i);
        if (i + 1 < bits && !Near(f[at + 1], kSircT)) return false;
        if (Near(f[at], 2 * kSircT)) value |= uint64_t{1} << i;
        else if (!Near(f[at], kSircT)) return false;
    }
    return true;
}

// Bi-phase frames as half-bit levels (1 = mark), merged into durations; a trailing space
// belongs to the gap and is dropped.
std::vector<uint32_t> Merge(const std::vector<uint8_t>& levels, uint32_t half,
                            std::vector<uint32_t> out = {}) {
    bool last = !out.empty() ? (out.size() % 2 == 1) : false;
    for (uint8_t level : levels) {
        const bool mark = level != 0;
        if (!out.empty() && mark == last) {
            out.back() += half;
        } else if (out.empty() && !mark) {
            continue;  // a frame starts with a mark
        } else {
            out.push_back(half);
            last = mark;
        }
    }
    if (out.size() % 2 == 0 && !out.empty()) out.pop_back();
    return out;
}

// The half-bit levels of durations starting with a mark, or false when a duration is not
// 1..`maxHalves` halves long within the tolerance.
bool Split(std::span<const uint32_t> f, uint32_t half, size_t maxHalves, std::vector<uint8_t>& levels) {
    for (size_t i = 0; i < f.size(); ++i) {
        const size_t n = (f[i] + half / 2) / half;
        if (n < 1 || n > maxHalves || !Near(f[i], static_cast<uint32_t>(n * half))) return false;
        levels.insert(levels.end(), n, i % 2 == 0 ? 1 : 0);
    }
    return true;
}

constexpr uint32_t kRc5Half = 889;
constexpr uint32_t kRc6T = 444;

// RC5: S1, S2, toggle, 5 address, 6 command, MSB first; 1 = space then mark.
std::vector<uint32_t> Rc5Frame(uint32_t address, uint32_t command) {
    const uint32_t bits = 1u << 13 | ((command & 0x40) ? 0u : 1u << 12) | address << 6 | (command & 0x3F);
    std::vector<uint8_t> levels;
    for (int i = 13; i >= 0; --i) {
        const bool one = (bits >> i) & 1;
        levels.push_back(one ? 0 : 1);
        levels.push_back(one ? 1 : 0);
    }
    return Merge(levels, kRc5Half);
}

bool ReadRc5(std::span<const uint32_t> f, uint32_t& address, uint32_t& command) {
    std::vector<uint8_t> levels{0};  // the unsent leading space of S1
    if (!Split(f, kRc5Half, 2, levels)) return false;
    if (levels.size() == 27) levels.push_back(0);
    if (levels.size() != 28) return false;
    uint32_t bits = 0;
    for (size_t i = 0; i < 28; i += 2) {
        if (levels[i] == levels[i + 1]) return false;
        bits = bits << 1 | levels[i + 1];
    }
    if (!(bits >> 13 & 1)) return false;
    address = bits >> 6 & 0x1F;
    command = (bits & 0x3F) | ((bits >> 12 & 1) ? 0u : 0x40u);
    return true;
}

// RC6 mode 0: leader, start bit 1, mode 000, a double-length toggle, 8 address, 8 command;
// 1 = mark then space.
std::vector<uint32_t> Rc6Frame(uint32_t address, uint32_t command) {
    std::vector<uint8_t> levels;
    auto bit = [&](bool one, size_t halves) {
        levels.insert(levels.end(), halves, one ? 1 : 0);
        levels.insert(levels.end(), halves, one ? 0 : 1);
    };
    bit(true, 1);
    for (int i = 0; i < 3; ++i) bit(false, 1);
    bit(false, 2);
    const uint32_t value = address << 8 | command;
    for (int i = 15; i >= 0; --i) bit((value >> i) & 1, 1);
    return Merge(levels, kRc6T, {6 * kRc6T, 2 * kRc6T});
}

bool ReadRc6(std::span<const uint32_t> f, uint32_t& address, uint32_t& command) {
    if (f.size() < 3 || !Near(f[0], 6 * kRc6T) || !Near(f[1], 2 * kRc6T)) return false;
    std::vector<uint8_t> levels;
    if (!Split(f.subspan(2), kRc6T, 3, levels)) return false;
    if (levels.size() == 43) levels.push_back(0);
    if (levels.size() != 44) return false;
    auto bit = [&](size_t at, size_t halves, int& out) {
        for (size_t i = 1; i < halves; ++i)
            if (levels[at + i] != levels[at] || levels[at + halves + i] != levels[at + halves]) return false;
        if (levels[at] == levels[at + halves]) return false;
        out = levels[at];
        return true;
    };
    int b = 0;
    if (!bit(0, 1, b) || b != 1) return false;
    for (size_t i = 2; i < 8; i += 2)
        if (!bit(i, 1, b) || b != 0) return false;
    if (!bit(8, 2, b)) return false;  // toggle: either value
    uint32_t value = 0;
    for (size_t i = 12; i < 44; i += 2) {
        if (!bit(i, 1, b)) return false;
        value = value << 1 | static_cast<uint32_t>(b);
    }
    address = value >> 8;
    command = value & 0xFF;
    return true;
}

// ---- Protocol table --------------------------------------------------------------------

enum class Shape { Nec, Nec42, Samsung, Pioneer, Rca, Kaseikyo, Sirc, Rc5, Rc6 };

struct Protocol {
    std::string_view name;
    Shape shape;
    bool extended;  // NECext / NEC42ext: address and command as sent, no complements
    uint32_t maxAddress, maxCommand;
    uint32_t frequency;
    int sircBits;
};

const PulseDistance kNec{9000, 4500, 562, 562, 1687, 32, false};
const PulseDistance kNec42{9000, 4500, 562, 562, 1687, 42, false};
const PulseDistance kSamsung{4500, 4500, 560, 560, 1690, 32, false};
const PulseDistance kPioneer{8500, 4250, 500, 500, 1500, 32, false};
const PulseDistance kRca{4000, 4000, 500, 1000, 2000, 24, true};
const PulseDistance kKaseikyo{3456, 1728, 432, 432, 1296, 48, false};

const std::vector<Protocol>& Table() {
    static const std::vector<Protocol> table = {
        {"NEC", Shape::Nec, false, 0xFF, 0xFF, 38000, 0},
        {"NECext", Shape::Nec, true, 0xFFFF, 0xFFFF, 38000, 0},
        {"NEC42", Shape::Nec42, false, 0x1FFF, 0xFF, 38000, 0},
        {"NEC42ext", Shape::Nec42, true, 0x3FFFFFF, 0xFFFF, 38000, 0},
        {"Samsung32", Shape::Samsung, false, 0xFF, 0xFF, 38000, 0},
        {"RC5", Shape::Rc5, false, 0x1F, 0x7F, 36000, 0},
        {"RC5X", Shape::Rc5, false, 0x1F, 0x7F, 36000, 0},
        {"RC6", Shape::Rc6, false, 0xFF, 0xFF, 36000, 0},
        {"SIRC", Shape::Sirc, false, 0x1F, 0x7F, 40000, 12},
        {"SIRC15", Shape::Sirc, false, 0xFF, 0x7F, 40000, 15},
        {"SIRC20", Shape::Sirc, false, 0x1FFF, 0x7F, 40000, 20},
        {"RCA", Shape::Rca, false, 0xF, 0xFF, 56000, 0},
        {"Kaseikyo", Shape::Kaseikyo, false, 0x03FFFFFF, 0x3FF, 37000, 0},
        {"Pioneer", Shape::Pioneer, false, 0xFF, 0xFF, 40000, 0},
    };
    return table;
}

const Protocol* Find(std::string_view name) {
    for (const Protocol& p : Table())
        if (p.name == name) return &p;
    return nullptr;
}

uint64_t NecBits(const Protocol& p, uint32_t a, uint32_t c) {
    if (p.shape == Shape::Nec)
        return p.extended ? (uint64_t{a} | uint64_t{c} << 16)
                          : (uint64_t{a} | uint64_t{~a & 0xFFu} << 8 | uint64_t{c} << 16 |
                             uint64_t{~c & 0xFFu} << 24);
    return p.extended ? (uint64_t{a} | uint64_t{c} << 26)
                      : (uint64_t{a} | uint64_t{~a & 0x1FFFu} << 13 | uint64_t{c} << 26 |
                         uint64_t{~c & 0xFFu} << 34);
}

// Kaseikyo: vendor (16), vendor parity (4), genre1, genre2 (4 each), data (10), id (2),
// parity (8). The address packs genre1 << 4 | genre2, the vendor, then the id, one byte each.
uint64_t KaseikyoBits(uint32_t address, uint32_t command) {
    const uint32_t vendor = address >> 8 & 0xFFFF;
    const uint32_t genres = address & 0xFF;
    const uint32_t id = address >> 24 & 3;
    uint32_t vp = (vendor ^ vendor >> 8) & 0xFF;
    vp = (vp ^ vp >> 4) & 0xF;
    const uint32_t b2 = vp | (genres >> 4) << 4;
    const uint32_t b3 = (genres & 0xF) | (command & 0xF) << 4;
    const uint32_t b4 = (command >> 4 & 0x3F) | id << 6;
    return uint64_t{vendor} | uint64_t{b2} << 16 | uint64_t{b3} << 24 | uint64_t{b4} << 32 |
           uint64_t{b2 ^ b3 ^ b4} << 40;
}

std::vector<uint32_t> Frame(const Protocol& p, uint32_t a, uint32_t c) {
    switch (p.shape) {
    case Shape::Nec: return DistanceFrame(kNec, NecBits(p, a, c));
    case Shape::Nec42: return DistanceFrame(kNec42, NecBits(p, a, c));
    case Shape::Samsung:
        return DistanceFrame(kSamsung, uint64_t{a} | uint64_t{a} << 8 | uint64_t{c} << 16 |
                                           uint64_t{~c & 0xFFu} << 24);
    case Shape::Pioneer: return DistanceFrame(kPioneer, NecBits(*Find("NEC"), a, c));
    case Shape::Rca:
        return DistanceFrame(kRca, uint64_t{a} << 20 | uint64_t{c} << 12 | uint64_t{~a & 0xFu} << 8 |
                                       (~c & 0xFFu));
    case Shape::Kaseikyo: return DistanceFrame(kKaseikyo, KaseikyoBits(a, c));
    case Shape::Sirc: return WidthFrame(p.sircBits, uint64_t{c} | uint64_t{a} << 7);
    case Shape::Rc5: return Rc5Frame(a, c);
    case Shape::Rc6: return Rc6Frame(a, c);
    }
    return {};
}

uint32_t Sum(const std::vector<uint32_t>& v) {
    uint32_t s = 0;
    for (uint32_t d : v) s += d;
    return s;
}

// The frame with its gap: to `period` from the frame's start, or `gap` when that is longer.
std::vector<uint32_t> WithGap(std::vector<uint32_t> frame, uint32_t period, uint32_t gap) {
    const uint32_t length = Sum(frame);
    frame.push_back(std::max({gap, period > length ? period - length : 0, 2 * kFrameGap}));
    return frame;
}

const std::vector<uint32_t> kNecDitto{9000, 2250, 562};

// A frame of one of the table's protocols, or nothing.
std::optional<Code> DecodeFrame(std::span<const uint32_t> f, uint32_t frequency) {
    uint64_t v = 0;
    uint32_t a = 0, c = 0;
    if (ReadDistance(kNec, f, v)) {
        a = v & 0xFF;
        c = v >> 16 & 0xFF;
        const bool plain = (v >> 8 & 0xFF) == (~a & 0xFF) && (v >> 24 & 0xFF) == (~c & 0xFF);
        // Pioneer shares NEC's frame at 40 kHz with a shorter leader.
        const bool pioneer = plain && f[0] < 8750 &&
                             (frequency == 0 || (frequency >= 39000 && frequency <= 41000));
        if (pioneer) return Code{"Pioneer", a, c};
        if (plain) return Code{"NEC", a, c};
        return Code{"NECext", static_cast<uint32_t>(v & 0xFFFF), static_cast<uint32_t>(v >> 16)};
    }
    if (ReadDistance(kNec42, f, v)) {
        a = v & 0x1FFF;
        c = v >> 26 & 0xFF;
        if ((v >> 13 & 0x1FFF) == (~a & 0x1FFF) && (v >> 34 & 0xFF) == (~c & 0xFF))
            return Code{"NEC42", a, c};
        return Code{"NEC42ext", static_cast<uint32_t>(v & 0x3FFFFFF), static_cast<uint32_t>(v >> 26)};
    }
    if (ReadDistance(kSamsung, f, v)) {
        a = v & 0xFF;
        c = v >> 16 & 0xFF;
        if ((v >> 8 & 0xFF) == a && (v >> 24 & 0xFF) == (~c & 0xFF)) return Code{"Samsung32", a, c};
        return std::nullopt;
    }
    if (ReadDistance(kRca, f, v)) {
        a = v >> 20 & 0xF;
        c = v >> 12 & 0xFF;
        if ((v >> 8 & 0xF) == (~a & 0xF) && (v & 0xFF) == (~c & 0xFF)) return Code{"RCA", a, c};
        return std::nullopt;
    }
    if (ReadDistance(kKaseikyo, f, v)) {
        const uint32_t vendor = v & 0xFFFF;
        const uint32_t b2 = v >> 16 & 0xFF, b3 = v >> 24 & 0xFF, b4 = v >> 32 & 0xFF;
        a = (b2 & 0xF0) | (b3 & 0xF) | vendor << 8 | (b4 >> 6) << 24;
        c = (b3 >> 4) | (b4 & 0x3F) << 4;
        if (KaseikyoBits(a, c) != v) return std::nullopt;  // a parity that does not hold
        return Code{"Kaseikyo", a, c};
    }
    int bits = 0;
    if (ReadWidth(f, bits, v)) {
        const char* name = bits == 12 ? "SIRC" : bits == 15 ? "SIRC15" : bits == 20 ? "SIRC20" : nullptr;
        if (name == nullptr) return std::nullopt;
        return Code{name, static_cast<uint32_t>(v >> 7), static_cast<uint32_t>(v & 0x7F)};
    }
    if (ReadRc6(f, a, c)) return Code{"RC6", a, c};
    if (ReadRc5(f, a, c)) return Code{c & 0x40 ? "RC5X" : "RC5", a, c};
    return std::nullopt;
}

}  // namespace

const std::vector<std::string_view>& EngineProtocols() {
    static const std::vector<std::string_view> names = [] {
        std::vector<std::string_view> v;
        for (const Protocol& p : Table()) v.push_back(p.name);
        return v;
    }();
    return names;
}

bool Render(const Code& code, Rendering& out, std::string& error) {
    const Protocol* p = Find(code.protocol);
    if (p == nullptr) {
        error = "cannot render protocol \"" + code.protocol + "\": not one the engine knows";
        return false;
    }
    if (code.address > p->maxAddress || code.command > p->maxCommand) {
        error = "cannot render " + code.protocol + ": " +
                (code.address > p->maxAddress ? "address " + std::to_string(code.address)
                                              : "command " + std::to_string(code.command)) +
                " is wider than the protocol carries";
        return false;
    }
    out = Rendering{};
    out.frequency = p->frequency;
    const std::vector<uint32_t> frame = Frame(*p, code.address, code.command);
    switch (p->shape) {
    case Shape::Nec:
    case Shape::Nec42:
        out.once = WithGap(frame, 108000, 0);
        out.repeat = WithGap(kNecDitto, 108000, 0);
        break;
    case Shape::Samsung: out.once = out.repeat = WithGap(frame, 108000, 0); break;
    case Shape::Pioneer: out.once = out.repeat = WithGap(frame, 0, 26000); break;
    case Shape::Rca: out.once = out.repeat = WithGap(frame, 0, 8000); break;
    case Shape::Kaseikyo: out.once = out.repeat = WithGap(frame, 0, 173 * 432); break;
    case Shape::Rc5: out.once = out.repeat = WithGap(frame, 113778, 0); break;
    case Shape::Rc6: out.once = out.repeat = WithGap(frame, 107000, 0); break;
    case Shape::Sirc: {
        const std::vector<uint32_t> one = WithGap(frame, 45000, 0);
        out.repeat = one;
        for (int i = 0; i < 3; ++i) out.once.insert(out.once.end(), one.begin(), one.end());
        break;
    }
    }
    return true;
}

std::optional<Decoded> Decode(std::span<const uint32_t> timings, uint32_t frequency) {
    std::vector<std::span<const uint32_t>> frames;
    size_t start = 0;
    for (size_t i = 1; i < timings.size(); i += 2) {
        if (timings[i] >= kFrameGap) {
            frames.push_back(timings.subspan(start, i - start));
            start = i + 1;
        }
    }
    if (start < timings.size()) frames.push_back(timings.subspan(start));
    if (frames.empty()) return std::nullopt;
    const std::optional<Code> first = DecodeFrame(frames[0], frequency);
    if (!first) return std::nullopt;
    Decoded out{*first, true};  // a trailing space >= kFrameGap is the gap, not a frame
    const bool necFamily = first->protocol.rfind("NEC", 0) == 0;
    for (size_t i = 1; i < frames.size() && out.clean; ++i) {
        if (necFamily && TimingsMatch(kNecDitto, frames[i])) continue;
        const std::optional<Code> next = DecodeFrame(frames[i], frequency);
        out.clean = next && *next == *first;
    }
    return out;
}

std::vector<bool> SentBits(const Code& code) {
    const Protocol* p = Find(code.protocol);
    Rendering unused;
    std::string error;
    if (p == nullptr || !Render(code, unused, error)) return {};
    uint64_t value = 0;
    int bits = 0;
    bool msbFirst = false;
    switch (p->shape) {
    case Shape::Nec:
    case Shape::Nec42:
        value = NecBits(*p, code.address, code.command);
        bits = p->shape == Shape::Nec ? 32 : 42;
        break;
    case Shape::Sirc:
        value = uint64_t{code.command} | uint64_t{code.address} << 7;
        bits = p->sircBits;
        break;
    case Shape::Rc5:
        value = ((code.command & 0x40) ? 0u : 1u << 12) | code.address << 6 | (code.command & 0x3F);
        bits = 13;
        msbFirst = true;
        break;
    case Shape::Rc6:
        value = 1u << 20 | code.address << 8 | code.command;
        bits = 21;
        msbFirst = true;
        break;
    default: return {};
    }
    std::vector<bool> out;
    for (int i = 0; i < bits; ++i) out.push_back((value >> (msbFirst ? bits - 1 - i : i)) & 1);
    return out;
}

Code Canonical(Code code) {
    if (code.protocol == "NECext" && (code.address >> 8) == (~code.address & 0xFF) &&
        (code.command >> 8) == (~code.command & 0xFF))
        return Code{"NEC", code.address & 0xFF, code.command & 0xFF};
    if (code.protocol == "NEC42ext" && (code.address >> 13) == (~code.address & 0x1FFF) &&
        (code.command >> 8) == (~code.command & 0xFF))
        return Code{"NEC42", code.address & 0x1FFF, code.command & 0xFF};
    if (code.protocol == "RC5X") code.protocol = "RC5";
    return code;
}

bool TimingsMatch(std::span<const uint32_t> a, std::span<const uint32_t> b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!Near(b[i], a[i])) return false;
    return true;
}

Code CodeOf(const Signal& parsed) {
    auto number = [](const std::array<uint8_t, 4>& b) {
        return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
    };
    return Code{parsed.protocol, number(parsed.address), number(parsed.command)};
}

Signal ParsedSignal(const std::string& name, const Code& code) {
    Signal s;
    s.name = name;
    s.type = Signal::Type::Parsed;
    s.protocol = code.protocol;
    for (size_t i = 0; i < 4; ++i) {
        s.address[i] = static_cast<uint8_t>(code.address >> (8 * i));
        s.command[i] = static_cast<uint8_t>(code.command >> (8 * i));
    }
    return s;
}

bool RenderSignal(const Signal& parsed, Signal& raw, std::string& error) {
    Rendering r;
    if (!Render(CodeOf(parsed), r, error)) return false;
    raw = Signal{};
    raw.name = parsed.name;
    raw.type = Signal::Type::Raw;
    raw.frequency = r.frequency;
    raw.dutyMillionths = 330000;
    raw.dutyDecimals = 2;
    raw.timings.assign(r.once.begin(), r.once.end() - 1);
    return true;
}

std::optional<Signal> DecodeSignal(const Signal& raw) {
    const std::optional<Decoded> d = Decode(raw.timings, raw.frequency);
    if (!d || !d->clean) return std::nullopt;
    return ParsedSignal(raw.name, d->code);
}

}  // namespace irlib
