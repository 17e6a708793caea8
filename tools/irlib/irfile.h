// The text form of IR signal files (".ir"): a Filetype and a Version line, then signal
// blocks ("name:", "type:" and the fields of a parsed or raw signal) between "#" lines.
// Parsing keeps every signal, comment and unrecognised line in order; writing gives it back.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace irlib {

inline constexpr std::string_view kDefaultFiletype = "IR signals file";
inline constexpr std::string_view kDefaultVersion = "1";

struct Signal {
    enum class Type { Parsed, Raw };
    std::string name;
    Type type = Type::Parsed;
    // Parsed: the protocol name and the four address and command bytes in file order.
    std::string protocol;
    std::array<uint8_t, 4> address{};
    std::array<uint8_t, 4> command{};
    // Raw: carrier frequency in Hz, duty cycle in millionths written with `dutyDecimals`
    // decimals (the file's own spelling: "0.33" has 2, "0.330000" has 6), timings in us.
    uint32_t frequency = 0;
    uint32_t dutyMillionths = 0;
    uint8_t dutyDecimals = 0;
    std::vector<uint32_t> timings;

    bool operator==(const Signal&) const = default;
};

// One piece of a file in order. A block that is not a signal of the usual shape (fields
// missing, in another order, unknown keys, numbers spelt unusually, raw data split over
// several lines) is kept verbatim so that nothing in it is lost.
struct Item {
    enum class Kind { Signal, Comment, Verbatim };
    Kind kind = Kind::Signal;
    Signal signal;     // Kind::Signal
    std::string text;  // Comment: the text after '#'; Verbatim: the block's lines, '\n'-joined
    std::string name;  // Verbatim: the value of its "name:" line, if it has one

    bool operator==(const Item&) const = default;
};

struct IrFile {
    std::string filetype{kDefaultFiletype};
    std::string version{kDefaultVersion};
    std::vector<Item> items;

    bool operator==(const IrFile&) const = default;
    size_t SignalCount() const;
};

// Parses the whole text of a file. False, with `error` set, when it does not start with the
// Filetype and Version lines; anything after them is accepted.
bool ParseIrFile(std::string_view text, IrFile& out, std::string& error);

// The file's text: the two header lines, then each item; a "#" line precedes every signal.
std::string WriteIrFile(const IrFile& file);

// The lines of one signal as WriteIrFile writes them (without the "#" line before it).
std::string SignalText(const Signal& signal);

// Number spellings shared with the signal codec.
// Blanks (space, tab, CR, VT, FF) cut from both ends; the words between blanks.
std::string_view TrimText(std::string_view s);
std::vector<std::string_view> Words(std::string_view line);

std::string FormatDuty(uint32_t millionths, uint8_t decimals);
std::string FormatHexBytes(const std::array<uint8_t, 4>& bytes);

}  // namespace irlib
