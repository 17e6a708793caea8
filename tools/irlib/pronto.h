// Pronto hex learned codes ("0000 006D 0022 0002 ..."): carrier word, once and repeat
// sequences counted in carrier periods, to and from microsecond timings.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace irlib {

struct ProntoCode {
    uint32_t frequency = 0;  // Hz; 0 for an unmodulated (0100) code
    std::vector<uint32_t> once, repeat;  // mark, space pairs in microseconds
};

// False with `error` saying which word is wrong, or that the pair counts disagree with the
// code's length.
bool ParsePronto(std::string_view text, ProntoCode& out, std::string& error);

// The code as one raw signal: once, then repeat, without the gap after the last mark.
std::vector<uint32_t> ProntoTimings(const ProntoCode& code);

// The code as four-digit words; `frequency` 0 writes an unmodulated code at 38 kHz timing.
std::string ProntoText(uint32_t frequency, std::span<const uint32_t> once,
                       std::span<const uint32_t> repeat);

}  // namespace irlib
