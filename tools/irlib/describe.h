// Human and JSON descriptions of one record entry: its head fields, and its data decoded
// as a signal, comment, verbatim block or #remote entry where it is one, else in hex.
// Shared by show and dump.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "json.h"
#include "signal_codec.h"

namespace irlib {

std::string EntryKindName(uint8_t kind);
std::string HexBytes(std::span<const uint8_t> bytes, size_t max = SIZE_MAX);

// "b0=1 w1=0x0000 len=0 w5=2 b7=0 w8=0x0007 w10=0x0000 b12..18=02 fd 00 00 00 00 00"
std::string HeadFieldsText(std::span<const uint8_t, kHeadSize> head);
// One line: what the entry holds, fully (every timing), or why it does not decode.
std::string EntryText(std::span<const uint8_t, kHeadSize> head, std::span<const uint8_t> data);

void EntryJson(Json& out, std::span<const uint8_t, kHeadSize> head, std::span<const uint8_t> data);

}  // namespace irlib
