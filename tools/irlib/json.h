// A small streaming JSON writer for the --json output of the commands: objects, arrays,
// strings (bytes that are not valid UTF-8 become \u00XX escapes) and numbers, indented.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace irlib {

class Json {
public:
    Json& BeginObject();
    Json& EndObject();
    Json& BeginArray();
    Json& EndArray();
    Json& Key(std::string_view key);
    Json& String(std::string_view value);
    Json& Number(uint64_t value);
    Json& Number(int64_t value);
    Json& Number(int value) { return Number(static_cast<int64_t>(value)); }
    Json& Number(unsigned value) { return Number(static_cast<uint64_t>(value)); }
    Json& Real(double value);
    Json& Bool(bool value);
    Json& Null();

    // Shorthands for one member of the current object.
    template <typename T>
    Json& Field(std::string_view key, const T& value);

    // The document, ending in a newline.
    std::string Text() const { return out_ + "\n"; }

private:
    void BeforeValue();
    Json& Close(char bracket);
    void Indent();
    std::string out_;
    std::vector<bool> hasItems_;  // one per open container
    bool afterKey_ = false;
};

std::string JsonQuote(std::string_view value);

template <typename T>
Json& Json::Field(std::string_view key, const T& value) {
    Key(key);
    if constexpr (std::is_same_v<T, bool>) {
        return Bool(value);
    } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
        return Number(static_cast<int64_t>(value));
    } else if constexpr (std::is_integral_v<T>) {
        return Number(static_cast<uint64_t>(value));
    } else if constexpr (std::is_floating_point_v<T>) {
        return Real(static_cast<double>(value));
    } else {
        return String(value);
    }
}

}  // namespace irlib
