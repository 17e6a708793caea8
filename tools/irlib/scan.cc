// Loading a library file for the commands that read it below the API; see scan.h.
#include "scan.h"

#include <cstdio>
#include <cstring>
#include <fstream>

#include "format/crc32.h"
#include "format/endian.h"
#include "format/journal_blocks.h"
#include "remote_codec.h"
#include "varnel32.h"

namespace irlib {

bool LoadFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        error = "cannot open for reading";
        return false;
    }
    const std::streamoff size = in.tellg();
    if (size < 0 || size > 0x7FFFFFFF) {
        error = "not a library file (2 GiB or larger)";
        return false;
    }
    bytes.resize(static_cast<size_t>(size));
    in.seekg(0);
    if (size > 0 && !in.read(reinterpret_cast<char*>(bytes.data()), size)) {
        error = "read failed";
        return false;
    }
    return true;
}

bool HotJournalBeside(const std::string& path) {
    std::vector<uint8_t> journal;
    std::string ignored;
    fmt::JournalHeader header;
    return LoadFile(path + "-journal", journal, ignored) && journal.size() >= fmt::kJournalHeaderSize &&
           fmt::DecodeJournalHeader(
               std::span<const uint8_t, fmt::kJournalHeaderSize>(journal.data(), fmt::kJournalHeaderSize),
               header);
}

bool LoadLibraryFile(const std::string& path, std::vector<uint8_t>& bytes,
                     fmt::LibraryHeader& header, std::string& error) {
    if (!LoadFile(path, bytes, error)) return false;
    if (!CheckBlock(fmt::BlockKind::Header, bytes, 0).verifies) {
        error = "header does not verify ('irlib check' shows why)";
        return false;
    }
    header = fmt::DecodeLibraryHeader(
        std::span<const uint8_t, fmt::kHeaderSize>(bytes.data(), fmt::kHeaderSize));
    return true;
}

std::string KindText(uint32_t kind) {
    std::string text;
    switch (kind & (IRKindInfrared | IRKindCommand | IRKind8)) {
    case IRKindInfrared: text = "infrared"; break;
    case IRKindCommand: text = "command"; break;
    case IRKind8: text = "kind 8"; break;
    default: text = "unknown"; break;
    }
    if (kind & IRKindWriteProtected) text += ", write-protected";
    return text;
}

// The RemoteRecord image of an extent whose entries all verified.
std::vector<uint8_t> RecordImage(std::span<const uint8_t> file, const ExtentScan& x) {
    size_t size = kRemoteRecordHeadSize;
    for (const EntryScan& e : x.entries) size += kHeadSize + e.header.dataLength();
    std::vector<uint8_t> image(size, 0);
    fmt::Store16(image.data() + IR_RECORD_ENTRY_COUNT_OFFSET, static_cast<uint16_t>(x.entries.size()));
    std::memcpy(image.data() + IR_RECORD_MANUFACTURER_OFFSET, x.header.manufacturer.data(), fmt::NAME_FIELD_SIZE);
    std::memcpy(image.data() + IR_RECORD_TYPE_OFFSET, x.header.type.data(), fmt::NAME_FIELD_SIZE);
    std::memcpy(image.data() + IR_RECORD_MODEL_OFFSET, x.header.model.data(), fmt::NAME_FIELD_SIZE);
    size_t pos = kRemoteRecordHeadSize;
    for (const EntryScan& e : x.entries) {
        std::memcpy(image.data() + pos, e.header.head.data(), kHeadSize);
        pos += kHeadSize;
        const size_t n = e.header.dataLength();
        if (n) std::memcpy(image.data() + pos, file.data() + e.offset + fmt::kEntryHeaderSize, n);
        pos += n;
    }
    return image;
}

}  // namespace irlib
