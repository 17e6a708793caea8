// The one checksum of the file format: the standard CRC-32 (reflected polynomial
// 0xEDB88320, initial value 0xFFFFFFFF, complemented result), table-driven. Sealing and
// verifying blocks with it is in blocks.h.
#pragma once

#include <cstdint>
#include <span>

namespace varnel32::format {

// The 256-entry table; entry 1 is 0x77073096 and entry 255 is 0x2D02EF8D.
const uint32_t* Crc32Table();

// Incremental form: start with kCrc32Start, feed ranges in order, finish with Crc32End.
inline constexpr uint32_t kCrc32Start = 0xFFFFFFFFu;
uint32_t Crc32Update(uint32_t state, std::span<const uint8_t> bytes);
inline uint32_t Crc32End(uint32_t state) { return state ^ 0xFFFFFFFFu; }

// crc32 of one byte range.
uint32_t crc32(std::span<const uint8_t> bytes);

}  // namespace varnel32::format
