// One signal (or comment, or verbatim block) of a .ir file as one RecordEntry of a library
// record: the button name in the 21-byte name field at head offset 19, the signal's numbers
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

#include "irfile.h"

namespace irlib {

inline constexpr size_t kHeadSize = 40;
inline constexpr size_t kHeadNameOffset = 19;
inline constexpr size_t kHeadDataLengthOffset = 3;
inline constexpr size_t kStoredEntryOverhead = 48;  // EntryHeader on disk: 8 + the head
inline constexpr size_t kStoredRecordOverhead = 79;

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
