// Pronto hex: single codes and files of them. A file holds "NAME: CODE" lines, or a label
// line ("Power", "<Power>") followed by the code, which may wrap onto following lines.
#include "pronto.h"

#include <cmath>
#include <cstdio>

#include "formats.h"
#include "protocols.h"

namespace irlib {
namespace {

constexpr double kUnit = 0.241246;  // microseconds per carrier-word step

int HexValue(std::string_view word) {
    if (word.size() != 4) return -1;
    int v = 0;
    for (char c : word) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return -1;
        v = v * 16 + d;
    }
    return v;
}

bool IsCodeLine(std::string_view line) {
    const auto words = Words(line);
    return !words.empty() && HexValue(words[0]) >= 0;
}

// The number of words a code announces (4 + 2 x its pairs), or 0 before its header is in.
size_t DeclaredWords(const std::vector<std::string_view>& words) {
    if (words.size() < 4) return 0;
    const int once = HexValue(words[2]), repeat = HexValue(words[3]);
    if (once < 0 || repeat < 0) return 0;
    return 4 + 2 * static_cast<size_t>(once + repeat);
}

}  // namespace

bool ParsePronto(std::string_view text, ProntoCode& out, std::string& error) {
    const auto words = Words(text);
    std::vector<uint32_t> values;
    for (size_t i = 0; i < words.size(); ++i) {
        const int v = HexValue(words[i]);
        if (v < 0) {
            error = "word " + std::to_string(i + 1) + " \"" + std::string(words[i]) +
                    "\" is not four hex digits";
            return false;
        }
        values.push_back(static_cast<uint32_t>(v));
    }
    if (values.size() < 4) {
        error = "a code needs at least four words, found " + std::to_string(values.size());
        return false;
    }
    if (values[0] != 0x0000 && values[0] != 0x0100) {
        error = "code type " + std::string(words[0]) + " is not a learned code (0000 or 0100)";
        return false;
    }
    if (values[1] == 0) {
        error = "carrier word is 0000";
        return false;
    }
    const size_t pairs = values[2] + values[3];
    if (values.size() != 4 + 2 * pairs) {
        error = "the code announces " + std::to_string(values[2]) + " + " + std::to_string(values[3]) +
                " pairs (" + std::to_string(4 + 2 * pairs) + " words) but has " +
                std::to_string(values.size()) + " words";
        return false;
    }
    const double period = values[1] * kUnit;
    out = ProntoCode{};
    out.frequency = values[0] == 0 ? static_cast<uint32_t>(std::lround(1e6 / period)) : 0;
    for (size_t i = 4; i < values.size(); ++i) {
        auto& seq = i < 4 + 2 * size_t{values[2]} ? out.once : out.repeat;
        seq.push_back(static_cast<uint32_t>(std::lround(values[i] * period)));
    }
    return true;
}

std::vector<uint32_t> ProntoTimings(const ProntoCode& code) {
    std::vector<uint32_t> t = code.once;
    t.insert(t.end(), code.repeat.begin(), code.repeat.end());
    if (!t.empty()) t.pop_back();
    return t;
}

std::string ProntoText(uint32_t frequency, std::span<const uint32_t> once,
                       std::span<const uint32_t> repeat) {
    const long carrier = std::lround(1e6 / ((frequency ? frequency : 38000) * kUnit));
    const double period = static_cast<double>(carrier) * kUnit;
    std::string s;
    char buf[8];
    auto word = [&](long v) {
        std::snprintf(buf, sizeof buf, "%04lX", v < 0 ? 0 : v > 0xFFFF ? 0xFFFF : v);
        if (!s.empty()) s += ' ';
        s += buf;
    };
    word(frequency ? 0x0000 : 0x0100);
    word(carrier);
    word(static_cast<long>(once.size() / 2));
    word(static_cast<long>(repeat.size() / 2));
    for (uint32_t d : once) word(std::max(1L, std::lround(d / period)));
    for (uint32_t d : repeat) word(std::max(1L, std::lround(d / period)));
    return s;
}

bool ReadPronto(std::string_view text, const std::string& name, Remote& out,
                std::vector<Problem>& problems) {
    out = Remote{name, IrFile{}};
    const auto lines = TextLines(text);
    std::string label;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string_view line = TrimText(lines[i]);
        if (line.empty() || line[0] == '#') continue;
        std::string signalName = label;
        const size_t colon = line.find(':');
        if (colon != std::string_view::npos && IsCodeLine(line.substr(colon + 1))) {
            signalName = std::string(TrimText(line.substr(0, colon)));
            line = line.substr(colon + 1);
        } else if (!IsCodeLine(line)) {
            if (line.size() > 1 && line.front() == '<' && line.back() == '>')
                line = line.substr(1, line.size() - 2);
            label = std::string(TrimText(line));
            continue;
        }
        label.clear();
        const size_t first = i;
        std::string code(line);
        // A long code may wrap: take following lines of hex words until it is complete.
        while (i + 1 < lines.size() && IsCodeLine(lines[i + 1]) && Words(code).size() < DeclaredWords(Words(code))) {
            code += ' ';
            code += TrimText(lines[++i]);
        }
        ProntoCode pronto;
        std::string error;
        if (!ParsePronto(code, pronto, error)) {
            problems.push_back({first + 1, error});
            continue;
        }
        Item item;
        item.signal.type = Signal::Type::Raw;
        item.signal.name = signalName.empty() ? "Code_" + std::to_string(first + 1) : signalName;
        item.signal.frequency = pronto.frequency;
        item.signal.dutyMillionths = 330000;
        item.signal.dutyDecimals = 2;
        item.signal.timings = ProntoTimings(pronto);
        out.file.items.push_back(std::move(item));
    }
    return true;
}

std::string WritePronto(const std::vector<Remote>& remotes, std::vector<Problem>& problems) {
    std::string s;
    for (const Remote& r : remotes) {
        if (remotes.size() > 1) s += "# " + r.name + "\n";
        for (const Item& item : r.file.items) {
            if (item.kind == Item::Kind::Comment) continue;
            if (item.kind == Item::Kind::Verbatim) {
                problems.push_back({0, r.name + ": block \"" + item.name + "\" is not a signal; left out"});
                continue;
            }
            const Signal& sig = item.signal;
            if (sig.type == Signal::Type::Parsed) {
                Rendering rendering;
                std::string error;
                if (!Render(CodeOf(sig), rendering, error)) {
                    problems.push_back({0, r.name + ": " + sig.name + ": " + error + "; left out"});
                    continue;
                }
                s += sig.name + ": " + ProntoText(rendering.frequency, rendering.once, rendering.repeat) + "\n";
                continue;
            }
            std::vector<uint32_t> once = sig.timings;
            // Pairs: a trailing mark gets the longest gap of the signal, at least 100 ms.
            if (once.size() % 2 == 1) {
                uint32_t gap = 100000;
                for (size_t i = 1; i < once.size(); i += 2) gap = std::max(gap, once[i]);
                once.push_back(gap);
            }
            s += sig.name + ": " + ProntoText(sig.frequency, once, {}) + "\n";
        }
    }
    return s;
}

}  // namespace irlib
