// crc32: the table is computed at compile time from the polynomial, so there is no
// start-up step and no table to get wrong by hand.
#include "format/crc32.h"

#include <array>

namespace varnel32::format {
namespace {

constexpr std::array<uint32_t, 256> MakeTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t v = i;
        for (int bit = 0; bit < 8; ++bit) v = (v & 1u) ? (v >> 1) ^ 0xEDB88320u : v >> 1;
        table[i] = v;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kTable = MakeTable();
static_assert(kTable[1] == 0x77073096u && kTable[255] == 0x2D02EF8Du);

}  // namespace

const uint32_t* Crc32Table() { return kTable.data(); }

uint32_t Crc32Update(uint32_t state, std::span<const uint8_t> bytes) {
    for (uint8_t b : bytes) state = kTable[(state ^ b) & 0xFFu] ^ (state >> 8);
    return state;
}

uint32_t crc32(std::span<const uint8_t> bytes) {
    return Crc32End(Crc32Update(kCrc32Start, bytes));
}

}  // namespace varnel32::format
