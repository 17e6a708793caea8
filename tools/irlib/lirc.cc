// LIRC lircd.conf: reading raw remotes and coded ones (space-encoded, RC5, RC6), each coded
// key rendered from the remote's timing description and then decoded by the engine; writing
// coded remotes for NEC family, RC5, RC6 and SIRC codes that share a protocol and address,
// and raw-code remotes for everything else.
#include <cinttypes>
#include <cstdio>
#include <map>

#include "formats.h"
#include "protocols.h"

namespace irlib {
namespace {

bool ParseNumber(std::string_view s, uint64_t& out) {
    uint64_t base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty() || s.size() > 16) return false;
    uint64_t v = 0;
    for (char c : s) {
        uint64_t d;
        if (c >= '0' && c <= '9') d = static_cast<uint64_t>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f') d = static_cast<uint64_t>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F') d = static_cast<uint64_t>(c - 'A' + 10);
        else return false;
        if (d >= base) return false;
        v = v * base + d;
    }
    out = v;
    return true;
}

struct Pair {
    uint32_t mark = 0, space = 0;
};

struct Description {
    size_t beginLine = 0;
    std::string name;
    std::string flags;
    uint64_t bits = 0, preBits = 0, pre = 0, postBits = 0, post = 0;
    uint64_t plead = 0, ptrail = 0, frequency = 0, rc6Mask = 0;
    Pair header, one, zero;
    bool Has(std::string_view flag) const { return flags.find(flag) != std::string::npos; }
    IrFile file;
};

// Durations that start with a mark, merging neighbours of one level.
struct Builder {
    std::vector<uint32_t> d;
    void Add(bool mark, uint64_t us) {
        if (us == 0) return;
        if (d.empty() && !mark) return;
        if (!d.empty() && (d.size() % 2 == 1) == mark) d.back() += static_cast<uint32_t>(us);
        else d.push_back(static_cast<uint32_t>(us));
    }
};

std::vector<uint32_t> RenderKey(const Description& r, uint64_t code) {
    const bool rc5 = r.Has("RC5") || r.Has("SHIFT_ENC");
    const bool rc6 = r.Has("RC6");
    const uint64_t total = r.preBits + r.bits + r.postBits;
    const uint64_t rc6Mask = r.rc6Mask ? r.rc6Mask : (rc6 && total >= 5 ? uint64_t{1} << (total - 5) : 0);
    Builder b;
    b.Add(true, r.plead);
    b.Add(true, r.header.mark);
    b.Add(false, r.header.space);
    uint64_t pos = total;
    auto field = [&](uint64_t value, uint64_t bits) {
        for (uint64_t i = bits; i-- > 0;) {
            const bool bit = (value >> i) & 1;
            const uint64_t k = (rc6Mask >> --pos) & 1 ? 2 : 1;
            const Pair& p = bit ? r.one : r.zero;
            if (rc5) {
                b.Add(!bit, p.mark);
                b.Add(bit, p.space);
            } else if (rc6) {
                b.Add(bit, p.mark * k);
                b.Add(!bit, p.space * k);
            } else {
                b.Add(true, p.mark);
                b.Add(false, p.space);
            }
        }
    };
    field(r.pre, r.preBits);
    field(code, r.bits);
    field(r.post, r.postBits);
    b.Add(true, r.ptrail);
    if (b.d.size() % 2 == 0 && !b.d.empty()) b.d.pop_back();
    return b.d;
}

Signal RawSignal(const std::string& name, uint32_t frequency, std::vector<uint32_t> timings) {
    Signal s;
    s.name = name;
    s.type = Signal::Type::Raw;
    s.frequency = frequency;
    s.dutyMillionths = 330000;
    s.dutyDecimals = 2;
    s.timings = std::move(timings);
    return s;
}

uint32_t FrequencyOf(const Description& r) {
    if (r.frequency) return static_cast<uint32_t>(r.frequency);
    return r.Has("RC5") || r.Has("RC6") || r.Has("SHIFT_ENC") ? 36000 : 38000;
}

}  // namespace

bool ReadLirc(std::string_view text, std::vector<Remote>& out, std::vector<Problem>& problems) {
    enum class Where { Outside, Remote, Codes, Raw } where = Where::Outside;
    Description r;
    std::string rawName;
    size_t rawLine = 0;
    std::vector<uint32_t> raw;
    bool rawBad = false;

    auto finishRaw = [&] {
        if (!rawName.empty() && !rawBad) {
            if (raw.empty() || raw.size() % 2 == 0) {
                problems.push_back({rawLine, "raw code \"" + rawName + "\" has " + std::to_string(raw.size()) +
                                                 " durations; a code must end with a mark (an odd count)"});
            } else {
                Item item;
                item.signal = RawSignal(rawName, FrequencyOf(r), raw);
                r.file.items.push_back(std::move(item));
            }
        }
        rawName.clear();
        raw.clear();
        rawBad = false;
    };

    const auto lines = TextLines(text);
    for (size_t n = 0; n < lines.size(); ++n) {
        std::string_view line = lines[n];
        if (const size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
        const auto w = Words(line);
        if (w.empty()) continue;
        const size_t lineNo = n + 1;
        const bool begin = w[0] == "begin" && w.size() >= 2, end = w[0] == "end" && w.size() >= 2;
        if (begin && w[1] == "remote") {
            if (where != Where::Outside)
                problems.push_back({r.beginLine, "'begin remote' without 'end remote'; remote \"" + r.name + "\" skipped"});
            r = Description{};
            r.beginLine = lineNo;
            where = Where::Remote;
            continue;
        }
        if (where == Where::Outside) {
            problems.push_back({lineNo, "\"" + std::string(w[0]) + "\" outside a remote"});
            continue;
        }
        if (where == Where::Remote) {
            if (begin && w[1] == "codes") { where = Where::Codes; continue; }
            if (begin && w[1] == "raw_codes") { where = Where::Raw; continue; }
            if (end && w[1] == "remote") {
                out.push_back({r.name.empty() ? "remote_" + std::to_string(r.beginLine) : r.name, r.file});
                where = Where::Outside;
                continue;
            }
            const std::string_view key = w[0];
            if (key == "name") { r.name = w.size() > 1 ? std::string(w[1]) : ""; continue; }
            if (key == "flags") { r.flags = w.size() > 1 ? std::string(w[1]) : ""; continue; }
            std::vector<uint64_t> v(w.size() - 1);
            bool ok = w.size() > 1;
            for (size_t i = 1; i < w.size(); ++i) ok = ok && ParseNumber(w[i], v[i - 1]);
            if (key == "header" || key == "one" || key == "zero") {
                if (!ok || v.size() != 2 || v[0] > 1000000 || v[1] > 1000000) {
                    problems.push_back({lineNo, std::string(key) + " needs two durations"});
                    continue;
                }
                Pair& p = key == "header" ? r.header : key == "one" ? r.one : r.zero;
                p = {static_cast<uint32_t>(v[0]), static_cast<uint32_t>(v[1])};
                continue;
            }
            uint64_t* field = key == "bits" ? &r.bits : key == "pre_data_bits" ? &r.preBits
                            : key == "pre_data" ? &r.pre : key == "post_data_bits" ? &r.postBits
                            : key == "post_data" ? &r.post : key == "plead" ? &r.plead
                            : key == "ptrail" ? &r.ptrail : key == "frequency" ? &r.frequency
                            : key == "rc6_mask" ? &r.rc6Mask : nullptr;
            if (field == nullptr) continue;  // eps, gap, repeat, toggle masks...: not needed here
            if (!ok || v.size() != 1) {
                problems.push_back({lineNo, std::string(key) + " needs one number"});
                continue;
            }
            *field = v[0];
            if ((field == &r.bits || field == &r.preBits || field == &r.postBits) && v[0] > 64) {
                problems.push_back({lineNo, std::string(key) + " " + std::to_string(v[0]) + " is more than 64"});
                *field = 0;
            }
            continue;
        }
        if (where == Where::Codes) {
            if (end && w[1] == "codes") { where = Where::Remote; continue; }
            uint64_t code = 0;
            if (w.size() < 2 || !ParseNumber(w[1], code)) {
                problems.push_back({lineNo, "code line needs a name and a number"});
                continue;
            }
            if (r.bits == 0 || (r.one.mark == 0 && r.one.space == 0)) {
                problems.push_back({lineNo, "remote \"" + r.name + "\" has no bits or no 'one' timing before its codes"});
                continue;
            }
            if (r.bits < 64 && code >> r.bits) {
                problems.push_back({lineNo, "code " + std::string(w[1]) + " is wider than bits " + std::to_string(r.bits)});
                continue;
            }
            Item item;
            item.signal = RawSignal(std::string(w[0]), FrequencyOf(r), RenderKey(r, code));
            if (auto parsed = DecodeSignal(item.signal)) item.signal = *parsed;
            r.file.items.push_back(std::move(item));
            continue;
        }
        // Where::Raw
        if (end && w[1] == "raw_codes") {
            finishRaw();
            where = Where::Remote;
            continue;
        }
        if (w[0] == "name") {
            finishRaw();
            rawName = w.size() > 1 ? std::string(w[1]) : "unnamed";
            rawLine = lineNo;
            continue;
        }
        for (std::string_view word : w) {
            uint64_t v = 0;
            if (!ParseNumber(word, v) || v > 0xFFFFFFFFu) {
                if (!rawBad)
                    problems.push_back({lineNo, "\"" + std::string(word) + "\" is not a duration; code \"" + rawName + "\" skipped"});
                rawBad = true;
                break;
            }
            raw.push_back(static_cast<uint32_t>(v));
        }
        if (rawName.empty() && !rawBad) {
            problems.push_back({lineNo, "durations before any 'name' line"});
            rawBad = true;
        }
    }
    if (where != Where::Outside)
        problems.push_back({r.beginLine, "'begin remote' without 'end remote'; remote \"" + r.name + "\" skipped"});
    return !out.empty() || problems.empty();
}

namespace {

struct CodedLayout {
    const char* flags;
    Pair header, one, zero;
    uint32_t plead, ptrail, gap, frequency;
    size_t codeBits;  // the rest of the frame's bits are pre_data, shared by every key
    uint64_t rc6Mask;
};

std::optional<CodedLayout> LayoutFor(const std::string& protocol, size_t bits) {
    if (protocol.rfind("NEC", 0) == 0)
        return CodedLayout{"SPACE_ENC|CONST_LENGTH", {9000, 4500}, {562, 1687}, {562, 562}, 0, 562, 108000, 38000, 16, 0};
    if (protocol.rfind("SIRC", 0) == 0)
        return CodedLayout{"SPACE_ENC|CONST_LENGTH", {2400, 600}, {1200, 600}, {600, 600}, 0, 0, 45000, 40000, bits, 0};
    if (protocol == "RC5" || protocol == "RC5X")
        return CodedLayout{"RC5|CONST_LENGTH", {}, {889, 889}, {889, 889}, 889, 0, 113778, 36000, bits, 0};
    if (protocol == "RC6")
        return CodedLayout{"RC6|CONST_LENGTH", {2666, 889}, {444, 444}, {444, 444}, 0, 0, 107000, 36000, bits, 0x10000};
    return std::nullopt;
}

uint64_t BitsValue(const std::vector<bool>& bits, size_t from, size_t to) {
    uint64_t v = 0;
    for (size_t i = from; i < to; ++i) v = v << 1 | (bits[i] ? 1 : 0);
    return v;
}

std::string Hex(uint64_t v, size_t bits) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%0*" PRIX64, static_cast<int>((bits + 3) / 4), v);
    return buf;
}

// The remote as a coded remote, when every signal is parsed, of one protocol family and
// one address, and has a layout.
bool WriteCoded(const std::string& name, const std::vector<const Signal*>& signals, std::string& s) {
    if (signals.empty()) return false;
    const Code first = CodeOf(*signals[0]);
    auto family = [](const std::string& p) { return p == "RC5X" ? std::string("RC5") : p; };
    std::vector<std::vector<bool>> all;
    for (const Signal* sig : signals) {
        const Code c = CodeOf(*sig);
        if (sig->type != Signal::Type::Parsed || family(c.protocol) != family(first.protocol) ||
            c.address != first.address)
            return false;
        all.push_back(SentBits(c));
        if (all.back().empty()) return false;
    }
    const size_t total = all[0].size();
    const auto layout = LayoutFor(first.protocol, total);
    if (!layout) return false;
    const size_t pre = total - layout->codeBits;
    s += "begin remote\n  name  " + name + "\n  bits  " + std::to_string(layout->codeBits) +
         "\n  flags " + layout->flags + "\n  eps   30\n  aeps  100\n";
    auto pair = [&](const char* key, const Pair& p) {
        if (p.mark || p.space) s += std::string("  ") + key + "  " + std::to_string(p.mark) + " " + std::to_string(p.space) + "\n";
    };
    pair("header", layout->header);
    pair("one", layout->one);
    pair("zero", layout->zero);
    if (layout->plead) s += "  plead  " + std::to_string(layout->plead) + "\n";
    if (layout->ptrail) s += "  ptrail  " + std::to_string(layout->ptrail) + "\n";
    if (pre) s += "  pre_data_bits  " + std::to_string(pre) + "\n  pre_data  " + Hex(BitsValue(all[0], 0, pre), pre) + "\n";
    if (layout->rc6Mask) s += "  rc6_mask  " + Hex(layout->rc6Mask, 20) + "\n";
    s += "  gap  " + std::to_string(layout->gap) + "\n  frequency  " + std::to_string(layout->frequency) +
         "\n  duty_cycle  33\n\n  begin codes\n";
    for (size_t i = 0; i < signals.size(); ++i)
        s += "    " + signals[i]->name + "  " + Hex(BitsValue(all[i], pre, total), layout->codeBits) + "\n";
    s += "  end codes\nend remote\n\n";
    return true;
}

// LIRC names are single words.
std::string Word(const std::string& name) {
    std::string w = name.empty() ? "unnamed" : name;
    for (char& c : w)
        if (c == ' ' || c == '\t' || c == '#') c = '_';
    return w;
}

}  // namespace

std::string WriteLirc(const std::vector<Remote>& remotes, std::vector<Problem>& problems) {
    std::string s;
    for (const Remote& r : remotes) {
        std::vector<Signal> signals;
        for (const Item& item : r.file.items) {
            if (item.kind == Item::Kind::Verbatim)
                problems.push_back({0, r.name + ": block \"" + item.name + "\" is not a signal; left out"});
            if (item.kind != Item::Kind::Signal) continue;
            signals.push_back(item.signal);
            signals.back().name = Word(signals.back().name);
        }
        std::vector<const Signal*> view;
        for (const Signal& sig : signals) view.push_back(&sig);
        if (WriteCoded(Word(r.name), view, s)) continue;
        // Raw codes, one remote per carrier: LIRC has one frequency per remote.
        std::map<uint32_t, std::vector<Signal>> byCarrier;
        for (const Signal& sig : signals) {
            Signal raw = sig;
            std::string error;
            if (sig.type == Signal::Type::Parsed && !RenderSignal(sig, raw, error)) {
                problems.push_back({0, r.name + ": " + sig.name + ": " + error + "; left out"});
                continue;
            }
            // A raw code ends with a mark; a capture's trailing gap is what `gap` is for.
            if (raw.timings.size() % 2 == 0 && !raw.timings.empty()) raw.timings.pop_back();
            byCarrier[raw.frequency].push_back(std::move(raw));
        }
        for (const auto& [carrier, list] : byCarrier) {
            std::string name = Word(r.name);
            if (byCarrier.size() > 1) name += "_" + std::to_string(carrier) + "Hz";
            s += "begin remote\n  name  " + name + "\n  flags RAW_CODES\n  eps   30\n  aeps  100\n"
                 "  frequency  " + std::to_string(carrier) + "\n  duty_cycle  33\n\n  begin raw_codes\n";
            for (const Signal& sig : list) {
                s += "    name " + sig.name + "\n";
                for (size_t i = 0; i < sig.timings.size(); i += 8) {
                    s += "     ";
                    for (size_t j = i; j < i + 8 && j < sig.timings.size(); ++j) s += " " + std::to_string(sig.timings[j]);
                    s += "\n";
                }
            }
            s += "  end raw_codes\nend remote\n\n";
        }
    }
    return s;
}

}  // namespace irlib
