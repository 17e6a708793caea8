// One signal (or comment, or verbatim block) of a .ir file as one RecordEntry of a library
// record: the button name in the head's 21-byte name field, the signal's numbers
// in the other head fields and its timings in the entry data. Also the "#remote" entry that
// carries what the record's names cannot: original long names, the file's path, its header
// lines and, for a remote split over several records, which part this is.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "format/blocks.h"
#include "irfile.h"

namespace irlib {

namespace fmt = varnel32::format;

inline constexpr size_t kHeadSize = fmt::kEntryHeadSize;
inline constexpr size_t kHeadNameOffset = fmt::kHeadNameOffset;
inline constexpr size_t kHeadDataLengthOffset = fmt::kHeadDataLengthOffset;
inline constexpr size_t kStoredEntryOverhead = fmt::kEntryHeaderSize;  // EntryHeader on disk
inline constexpr size_t kStoredRecordOverhead = fmt::kRecordHeaderSize;

// What a signal keeps in the head's fields besides its name (fields named by position in
// the format): one field serves different kinds of entry.
inline constexpr size_t kHeadKindOffset = fmt::kHeadByte0Offset;          // EntryKind
inline constexpr size_t kHeadFlagsOffset = fmt::kHeadWord1Offset;         // kFlag... bits
inline constexpr size_t kHeadProtocolCodeOffset = fmt::kHeadWord5Offset;  // parsed
inline constexpr size_t kHeadTimingCountOffset = fmt::kHeadWord5Offset;   // raw
inline constexpr size_t kHeadPartOffset = fmt::kHeadWord5Offset;          // #remote
inline constexpr size_t kHeadDutyDecimalsOffset = fmt::kHeadByte7Offset;  // raw, u8
inline constexpr size_t kHeadAddressOffset = fmt::kHeadWord8Offset;       // parsed, 4 bytes
inline constexpr size_t kHeadFrequencyOffset = fmt::kHeadWord8Offset;     // raw, u32
inline constexpr size_t kHeadPartsOffset = fmt::kHeadWord8Offset;         // #remote, u16
inline constexpr size_t kHeadCommandOffset = fmt::kHeadBytes12Offset;     // parsed, 4 bytes
inline constexpr size_t kHeadDutyOffset = fmt::kHeadBytes12Offset;        // raw, u32

// Head byte 0. Values are stored in files and never change meaning.
enum class EntryKind : uint8_t { Parsed = 1, Raw = 2, Comment = 3, Verbatim = 4, Info = 0x10 };

// Head word 1.
inline constexpr uint16_t kFlagLongName = 1;      // data starts with the full name
inline constexpr uint16_t kFlagProtocolText = 2;  // parsed: data holds the protocol's name

struct Entry {
    std::array<uint8_t, kHeadSize> head{};
    std::vector<uint8_t> data;
    size_t StoredSize() const { return kStoredEntryOverhead + data.size(); }
};

// What a record needs besides its signals to give back the original file. Empty names
// and path mean "as the record's name fields give them"; absent filetype/version mean the
// usual header lines.
struct RemoteInfo {
    std::string manufacturer, type, model;
    std::string path;
    std::optional<std::string> filetype, version;
    uint16_t part = 1;
    uint16_t parts = 1;
    bool operator==(const RemoteInfo&) const = default;
};

inline constexpr char kInfoEntryName[] = "#remote";

// The known protocols and their codes (head word 5 of a parsed signal); code 0 means the
// protocol's name is spelt out in the data. The list only ever grows at its end.
const std::vector<std::string>& ProtocolTable();

// `shortenedFrom`, when not null, receives the full name if the entry's name field holds a
// shortened one (and is cleared otherwise).
Entry EncodeItem(const Item& item, std::string* shortenedFrom = nullptr);
bool DecodeItem(std::span<const uint8_t, kHeadSize> head, std::span<const uint8_t> data,
                Item& out, std::string& error);

Entry EncodeInfo(const RemoteInfo& info);
bool DecodeInfo(std::span<const uint8_t, kHeadSize> head, std::span<const uint8_t> data,
                RemoteInfo& out, std::string& error);

// Fields of a head, for display and dispatch.
uint8_t HeadKind(std::span<const uint8_t, kHeadSize> head);
std::string HeadName(std::span<const uint8_t, kHeadSize> head);
uint16_t HeadU16(std::span<const uint8_t, kHeadSize> head, size_t offset);
uint32_t HeadU32(std::span<const uint8_t, kHeadSize> head, size_t offset);

// Unsigned LEB128, as used for timings and lengths in entry data.
void PutVarint(std::vector<uint8_t>& out, uint32_t value);
bool GetVarint(std::span<const uint8_t> data, size_t& pos, uint32_t& value);

}  // namespace irlib
