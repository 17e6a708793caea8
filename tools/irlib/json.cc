// The JSON writer. Names in library files are bytes, usually UTF-8 but not always, so the
// quoting validates UTF-8 and escapes whatever is not, keeping the output parseable.
#include "json.h"

#include <cstdio>

namespace irlib {
namespace {

// Length of the valid UTF-8 sequence at s[i], or 0.
size_t Utf8Length(std::string_view s, size_t i) {
    const auto b = static_cast<uint8_t>(s[i]);
    size_t n = 0;
    uint32_t min = 0;
    if (b >= 0xC2 && b <= 0xDF) { n = 2; min = 0x80; }
    else if (b >= 0xE0 && b <= 0xEF) { n = 3; min = 0x800; }
    else if (b >= 0xF0 && b <= 0xF4) { n = 4; min = 0x10000; }
    else return 0;
    if (i + n > s.size()) return 0;
    uint32_t cp = b & (0xFFu >> (n + 1));
    for (size_t k = 1; k < n; ++k) {
        const auto c = static_cast<uint8_t>(s[i + k]);
        if ((c & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (c & 0x3Fu);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

}  // namespace

std::string JsonQuote(std::string_view value) {
    std::string out = "\"";
    for (size_t i = 0; i < value.size();) {
        const auto c = static_cast<uint8_t>(value[i]);
        char buf[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else if (c >= 0x80) {
            const size_t n = Utf8Length(value, i);
            if (n == 0) {
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out.append(value.substr(i, n));
                i += n;
                continue;
            }
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    return out + "\"";
}

void Json::Indent() {
    out_ += '\n';
    out_.append(2 * hasItems_.size(), ' ');
}

void Json::BeforeValue() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!hasItems_.empty()) {
        if (hasItems_.back()) out_ += ',';
        hasItems_.back() = true;
        Indent();
    }
}

Json& Json::BeginObject() {
    BeforeValue();
    out_ += '{';
    hasItems_.push_back(false);
    return *this;
}

Json& Json::Close(char bracket) {
    const bool had = hasItems_.back();
    hasItems_.pop_back();
    if (had) Indent();
    out_ += bracket;
    return *this;
}

Json& Json::EndObject() { return Close('}'); }

Json& Json::BeginArray() {
    BeforeValue();
    out_ += '[';
    hasItems_.push_back(false);
    return *this;
}

Json& Json::EndArray() { return Close(']'); }

Json& Json::Key(std::string_view key) {
    BeforeValue();
    out_ += JsonQuote(key);
    out_ += ": ";
    afterKey_ = true;
    return *this;
}

Json& Json::String(std::string_view value) {
    BeforeValue();
    out_ += JsonQuote(value);
    return *this;
}

Json& Json::Number(uint64_t value) {
    BeforeValue();
    out_ += std::to_string(value);
    return *this;
}

Json& Json::Number(int64_t value) {
    BeforeValue();
    out_ += std::to_string(value);
    return *this;
}

Json& Json::Real(double value) {
    BeforeValue();
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", value);
    out_ += buf;
    return *this;
}

Json& Json::Bool(bool value) {
    BeforeValue();
    out_ += value ? "true" : "false";
    return *this;
}

Json& Json::Null() {
    BeforeValue();
    out_ += "null";
    return *this;
}

}  // namespace irlib
