// irdb CSV: one device per file, "functionname,protocol,device,subdevice,function", with
// protocols named as in IRP notation. Each row becomes the parsed signal the engine renders;
// the file's directories (<Manufacturer>/<Type>/<device,subdevice>.csv) name the remote.
#include <cstdint>
#include <filesystem>

#include "formats.h"
#include "protocols.h"

namespace irlib {
namespace {

constexpr uint32_t kPanasonicVendor = 0x2002;

bool ParseInt(std::string_view s, int64_t& out) {
    s = TrimText(s);
    bool negative = !s.empty() && s[0] == '-';
    if (negative) s.remove_prefix(1);
    if (s.empty() || s.size() > 9) return false;
    int64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    out = negative ? -v : v;
    return true;
}

// Fields of one row; a field may be quoted, with "" for a quote inside.
std::vector<std::string> SplitRow(std::string_view line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') fields.back() += '"', ++i;
            else if (c == '"') quoted = false;
            else fields.back() += c;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

// The engine's code for an irdb row, or false with the reason.
bool ToCode(const std::string& protocol, int64_t d, int64_t s, int64_t f, Code& code, std::string& error) {
    auto byte = [](int64_t v) { return v >= 0 && v <= 255; };
    if (!byte(d) || !(s == -1 || byte(s)) || !byte(f)) {
        error = "device, subdevice and function must be 0..255 (subdevice -1 for none)";
        return false;
    }
    const uint32_t D = static_cast<uint32_t>(d), F = static_cast<uint32_t>(f);
    const std::string p = protocol;
    if (p == "NEC" || p == "NEC1" || p == "NEC2") {
        if (s == -1 || static_cast<uint32_t>(s) == (~D & 0xFF)) code = {"NEC", D, F};
        else code = {"NECext", D | static_cast<uint32_t>(s) << 8, F | (~F & 0xFF) << 8};
    } else if (p == "NECx1" || p == "NECx2") {
        if (s != -1 && s != d) {
            error = p + " with a subdevice other than the device has no parsed form";
            return false;
        }
        code = {"Samsung32", D, F};
    } else if (p == "Samsung32") {
        code = {"Samsung32", D, F};
    } else if (p == "RC5") {
        code = {F & 0x40 ? "RC5X" : "RC5", D, F};
    } else if (p == "RC6") {
        code = {"RC6", D, F};
    } else if (p == "Sony12") {
        code = {"SIRC", D, F};
    } else if (p == "Sony15") {
        code = {"SIRC15", D, F};
    } else if (p == "Sony20") {
        code = {"SIRC20", D | static_cast<uint32_t>(s < 0 ? 0 : s) << 5, F};
    } else if (p == "Pioneer") {
        code = {"Pioneer", D, F};
    } else if (p == "RCA") {
        code = {"RCA", D, F};
    } else if (p == "Panasonic") {
        // Frame bytes 2..4 are device, subdevice and function; the vendor parity nibble of
        // the device byte is 0 for this vendor.
        if (s < 0 || (D & 0xF) != 0) {
            error = "Panasonic needs a subdevice and a device whose low four bits are 0";
            return false;
        }
        const uint32_t S = static_cast<uint32_t>(s);
        code = {"Kaseikyo", (D & 0xF0) | (S & 0xF) | kPanasonicVendor << 8 | (F >> 6) << 24,
                (S >> 4) | (F & 0x3F) << 4};
    } else {
        error = "unknown protocol \"" + p + "\"";
        return false;
    }
    Rendering unused;
    return Render(code, unused, error);
}

struct Row {
    std::string protocol;
    int64_t d = 0, s = -1, f = 0;
};

bool FromCode(const Code& c, Row& row) {
    if (c.protocol == "NEC") row = {"NEC1", c.address, -1, c.command};
    else if (c.protocol == "NECext" && (c.command >> 8) == (~c.command & 0xFF))
        row = {"NEC1", c.address & 0xFF, c.address >> 8, c.command & 0xFF};
    else if (c.protocol == "Samsung32") row = {"NECx2", c.address, c.address, c.command};
    else if (c.protocol == "RC5" || c.protocol == "RC5X") row = {"RC5", c.address, -1, c.command};
    else if (c.protocol == "RC6") row = {"RC6", c.address, -1, c.command};
    else if (c.protocol == "SIRC") row = {"Sony12", c.address, -1, c.command};
    else if (c.protocol == "SIRC15") row = {"Sony15", c.address, -1, c.command};
    else if (c.protocol == "SIRC20") row = {"Sony20", c.address & 0x1F, c.address >> 5, c.command};
    else if (c.protocol == "Pioneer") row = {"Pioneer", c.address, -1, c.command};
    else if (c.protocol == "RCA") row = {"RCA", c.address, -1, c.command};
    else if (c.protocol == "Kaseikyo" && (c.address >> 8 & 0xFFFF) == kPanasonicVendor)
        row = {"Panasonic", c.address & 0xF0, (c.address & 0xF) | (c.command & 0xF) << 4,
               (c.command >> 4 & 0x3F) | (c.address >> 24 & 3) << 6};
    else return false;
    Rendering unused;
    std::string error;
    return Render(c, unused, error);
}

std::string Quote(const std::string& s) {
    if (s.find_first_of(",\"") == std::string::npos) return s;
    std::string q = "\"";
    for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

}  // namespace

bool ReadCsv(std::string_view text, const std::string& path, Remote& out, std::vector<Problem>& problems) {
    const std::filesystem::path p(path);
    out = Remote{p.stem().string(), IrFile{}};
    const auto lines = TextLines(text);
    bool header = false;
    for (size_t n = 0; n < lines.size(); ++n) {
        const std::string_view line = TrimText(lines[n]);
        if (line.empty()) continue;
        const auto fields = SplitRow(line);
        if (!header) {
            header = true;
            if (fields.size() >= 5 && TrimText(fields[0]) == "functionname" && TrimText(fields[1]) == "protocol")
                continue;
            problems.push_back({n + 1, "no header line 'functionname,protocol,device,subdevice,function'"});
        }
        if (fields.size() != 5) {
            problems.push_back({n + 1, "expected 5 fields, found " + std::to_string(fields.size())});
            continue;
        }
        int64_t d, s, f;
        if (!ParseInt(fields[2], d) || !ParseInt(fields[3], s) || !ParseInt(fields[4], f)) {
            problems.push_back({n + 1, "device, subdevice and function must be whole numbers"});
            continue;
        }
        Code code;
        std::string error;
        if (!ToCode(std::string(TrimText(fields[1])), d, s, f, code, error)) {
            problems.push_back({n + 1, error});
            continue;
        }
        Item item;
        item.signal = ParsedSignal(std::string(TrimText(fields[0])), code);
        out.file.items.push_back(std::move(item));
    }
    return true;
}

std::string WriteCsv(const std::vector<Remote>& remotes, std::vector<Problem>& problems) {
    std::string s = "functionname,protocol,device,subdevice,function\n";
    for (const Remote& r : remotes) {
        for (const Item& item : r.file.items) {
            if (item.kind != Item::Kind::Signal) continue;
            Signal sig = item.signal;
            if (sig.type == Signal::Type::Raw) {
                if (auto parsed = DecodeSignal(sig)) sig = *parsed;
            }
            Row row;
            if (sig.type == Signal::Type::Raw || !FromCode(CodeOf(sig), row)) {
                problems.push_back({0, r.name + ": " + sig.name + ": " +
                                           (sig.type == Signal::Type::Raw ? "raw signal that does not decode"
                                                                          : sig.protocol + " code") +
                                           " has no irdb form; left out"});
                continue;
            }
            s += Quote(sig.name) + "," + row.protocol + "," + std::to_string(row.d) + "," +
                 std::to_string(row.s) + "," + std::to_string(row.f) + "\n";
        }
    }
    return s;
}

}  // namespace irlib
