// Parsing and writing the text form of IR signal files. A block becomes a Signal only when
// writing it back gives the same lines up to whitespace; every other block stays verbatim.
#include "irfile.h"

#include <charconv>

namespace irlib {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// "key: value" with the key before the first colon; false for a line without one.
bool SplitKey(std::string_view line, std::string_view& key, std::string_view& value) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return false;
    key = line.substr(0, colon);
    value = TrimText(line.substr(colon + 1));
    return true;
}

// A decimal number spelt the way the writer spells it: no sign, no leading zeros.
bool ParseCanonicalU32(std::string_view s, uint32_t& out) {
    if (s.empty() || s.size() > 10 || (s.size() > 1 && s[0] == '0')) return false;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > 0xFFFFFFFFu) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

bool ParseDuty(std::string_view s, uint32_t& millionths, uint8_t& decimals) {
    const size_t dot = s.find('.');
    const std::string_view whole = s.substr(0, dot);
    uint32_t integer = 0;
    if (!ParseCanonicalU32(whole, integer) || integer > 4294) return false;
    uint64_t value = static_cast<uint64_t>(integer) * 1000000u;
    decimals = 0;
    if (dot != std::string_view::npos) {
        const std::string_view frac = s.substr(dot + 1);
        if (frac.empty() || frac.size() > 6) return false;
        uint64_t f = 0;
        for (char c : frac) {
            if (c < '0' || c > '9') return false;
            f = f * 10 + static_cast<uint64_t>(c - '0');
        }
        for (size_t i = frac.size(); i < 6; ++i) f *= 10;
        value += f;
        decimals = static_cast<uint8_t>(frac.size());
    }
    if (value > 0xFFFFFFFFu) return false;
    millionths = static_cast<uint32_t>(value);
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;  // lower case is kept verbatim, so that its spelling survives
}

bool ParseHexBytes(std::string_view s, std::array<uint8_t, 4>& out) {
    const auto words = Words(s);
    if (words.size() != 4) return false;
    for (size_t i = 0; i < 4; ++i) {
        if (words[i].size() != 2) return false;
        const int hi = HexDigit(words[i][0]);
        const int lo = HexDigit(words[i][1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<uint8_t>(hi * 16 + lo);
    }
    return true;
}

bool HasSpace(std::string_view s) {
    for (char c : s)
        if (IsSpace(c)) return true;
    return false;
}

// The signal that `lines` hold, when they have exactly the usual keys in the usual order.
bool BlockToSignal(const std::vector<std::string_view>& lines, Signal& signal) {
    if (lines.size() != 5) return false;
    std::string_view keys[5];
    std::string_view values[5];
    for (size_t i = 0; i < 5; ++i)
        if (!SplitKey(lines[i], keys[i], values[i])) return false;
    if (keys[0] != "name" || keys[1] != "type") return false;
    signal.name = std::string(values[0]);
    if (values[1] == "parsed") {
        if (keys[2] != "protocol" || keys[3] != "address" || keys[4] != "command") return false;
        if (values[2].empty() || HasSpace(values[2])) return false;
        signal.type = Signal::Type::Parsed;
        signal.protocol = std::string(values[2]);
        return ParseHexBytes(values[3], signal.address) && ParseHexBytes(values[4], signal.command);
    }
    if (values[1] == "raw") {
        if (keys[2] != "frequency" || keys[3] != "duty_cycle" || keys[4] != "data") return false;
        signal.type = Signal::Type::Raw;
        if (!ParseCanonicalU32(values[2], signal.frequency)) return false;
        if (!ParseDuty(values[3], signal.dutyMillionths, signal.dutyDecimals)) return false;
        const auto words = Words(values[4]);
        signal.timings.resize(words.size());
        for (size_t i = 0; i < words.size(); ++i)
            if (!ParseCanonicalU32(words[i], signal.timings[i])) return false;
        return true;
    }
    return false;
}

void Flush(std::vector<std::string_view>& lines, IrFile& out) {
    if (lines.empty()) return;
    Item item;
    if (BlockToSignal(lines, item.signal)) {
        item.kind = Item::Kind::Signal;
    } else {
        item.kind = Item::Kind::Verbatim;
        item.signal = Signal{};
        std::string_view key, value;
        if (SplitKey(lines[0], key, value) && key == "name") item.name = std::string(value);
        for (size_t i = 0; i < lines.size(); ++i) {
            if (i) item.text += '\n';
            item.text += lines[i];
        }
    }
    out.items.push_back(std::move(item));
    lines.clear();
}

}  // namespace

std::string_view TrimText(std::string_view s) {
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
    return s;
}

std::vector<std::string_view> Words(std::string_view s) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && IsSpace(s[i])) ++i;
        const size_t start = i;
        while (i < s.size() && !IsSpace(s[i])) ++i;
        if (i > start) words.push_back(s.substr(start, i - start));
    }
    return words;
}

size_t IrFile::SignalCount() const {
    size_t n = 0;
    for (const Item& item : items)
        if (item.kind != Item::Kind::Comment) ++n;
    return n;
}

bool ParseIrFile(std::string_view text, IrFile& out, std::string& error) {
    out = IrFile{};
    std::vector<std::string_view> block;
    int headerLines = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = TrimText(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty()) continue;
        std::string_view key, value;
        if (headerLines < 2) {
            const char* wanted = headerLines == 0 ? "Filetype" : "Version";
            if (!SplitKey(line, key, value) || key != wanted) {
                error = headerLines == 0 ? "not an IR signals file (no Filetype line)"
                                         : "not an IR signals file (no Version line)";
                return false;
            }
            (headerLines == 0 ? out.filetype : out.version) = std::string(value);
            ++headerLines;
            continue;
        }
        if (line[0] == '#') {
            Flush(block, out);
            const std::string_view rest = line.substr(1);
            if (!TrimText(rest).empty()) {
                Item comment;
                comment.kind = Item::Kind::Comment;
                comment.text = std::string(rest);
                out.items.push_back(std::move(comment));
            }
            continue;
        }
        if (SplitKey(line, key, value) && key == "name") Flush(block, out);
        block.push_back(line);
    }
    if (headerLines < 2) {
        error = headerLines == 0 ? "not an IR signals file (no Filetype line)"
                                 : "not an IR signals file (no Version line)";
        return false;
    }
    Flush(block, out);
    return true;
}

std::string FormatDuty(uint32_t millionths, uint8_t decimals) {
    std::string s = std::to_string(millionths / 1000000u);
    if (decimals == 0) return s;
    std::string frac = std::to_string(millionths % 1000000u);
    frac.insert(0, 6 - frac.size(), '0');
    return s + "." + frac.substr(0, decimals > 6 ? 6 : decimals);
}

std::string FormatHexBytes(const std::array<uint8_t, 4>& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i) s += ' ';
        s += kDigits[bytes[i] >> 4];
        s += kDigits[bytes[i] & 15];
    }
    return s;
}

std::string SignalText(const Signal& signal) {
    std::string s = signal.name.empty() ? "name:\n" : "name: " + signal.name + "\n";
    if (signal.type == Signal::Type::Parsed) {
        s += "type: parsed\nprotocol: " + signal.protocol + "\naddress: " +
             FormatHexBytes(signal.address) + "\ncommand: " + FormatHexBytes(signal.command) +
             "\n";
        return s;
    }
    s += "type: raw\nfrequency: " + std::to_string(signal.frequency) +
         "\nduty_cycle: " + FormatDuty(signal.dutyMillionths, signal.dutyDecimals) + "\ndata:";
    char buf[16];
    for (uint32_t t : signal.timings) {
        auto r = std::to_chars(buf, buf + sizeof buf, t);
        s += ' ';
        s.append(buf, r.ptr);
    }
    s += '\n';
    return s;
}

std::string WriteIrFile(const IrFile& file) {
    std::string s = "Filetype: " + file.filetype + "\nVersion: " + file.version + "\n";
    for (const Item& item : file.items) {
        switch (item.kind) {
        case Item::Kind::Comment:
            s += "#" + item.text + "\n";
            break;
        case Item::Kind::Signal:
            s += "#\n" + SignalText(item.signal);
            break;
        case Item::Kind::Verbatim:
            s += "#\n" + item.text + "\n";
            break;
        }
    }
    return s;
}

}  // namespace irlib
