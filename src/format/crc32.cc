// crc32: the tables are computed at compile time from the polynomial, so there is no
// start-up step and no table to get wrong by hand. Sixteen bytes are taken per step through
// sixteen tables (slicing by 16): the lookups of a step do not wait for each other, so a
// step costs little more than one table lookup per byte would for a single byte. The
// bytes that remain go one at a time through the first table, the standard one.
#include "format/crc32.h"

#include <array>

namespace varnel32::format {
namespace {

using Tables = std::array<std::array<uint32_t, 256>, 16>;

constexpr Tables MakeTables() {
    Tables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t v = i;
        for (int bit = 0; bit < 8; ++bit) v = (v & 1u) ? (v >> 1) ^ 0xEDB88320u : v >> 1;
        t[0][i] = v;
    }
    // t[k][i]: the state after byte i and k zero bytes.
    for (size_t k = 1; k < 16; ++k) {
        for (uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFFu];
    }
    return t;
}

constexpr Tables kTables = MakeTables();
static_assert(kTables[0][1] == 0x77073096u && kTables[0][255] == 0x2D02EF8Du);

}  // namespace

const uint32_t* Crc32Table() { return kTables[0].data(); }

uint32_t Crc32Update(uint32_t state, std::span<const uint8_t> bytes) {
    const uint8_t* p = bytes.data();
    size_t n = bytes.size();
    for (; n >= 16; n -= 16, p += 16) {
        // Assembled byte by byte, so the result does not depend on the host's byte order.
        const uint32_t low = state ^ (uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
                                      uint32_t{p[3]} << 24);
        state = kTables[15][low & 0xFFu] ^ kTables[14][(low >> 8) & 0xFFu] ^
                kTables[13][(low >> 16) & 0xFFu] ^ kTables[12][low >> 24] ^ kTables[11][p[4]] ^
                kTables[10][p[5]] ^ kTables[9][p[6]] ^ kTables[8][p[7]] ^ kTables[7][p[8]] ^
                kTables[6][p[9]] ^ kTables[5][p[10]] ^ kTables[4][p[11]] ^ kTables[3][p[12]] ^
                kTables[2][p[13]] ^ kTables[1][p[14]] ^ kTables[0][p[15]];
    }
    for (; n > 0; --n, ++p) state = kTables[0][(state ^ *p) & 0xFFu] ^ (state >> 8);
    return state;
}

uint32_t crc32(std::span<const uint8_t> bytes) {
    return Crc32End(Crc32Update(kCrc32Start, bytes));
}

}  // namespace varnel32::format
