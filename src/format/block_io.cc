// Block reads and writes through the platform layer, each one positioned transfer.
#include "format/block_io.h"

#include "platform/platform.h"

namespace varnel32::format {

bool ReadAt(int fd, uint32_t offset, std::span<uint8_t> out) {
    const int32_t n = platform::ReadBytesAt(fd, offset, out.data(), static_cast<uint32_t>(out.size()));
    return n >= 0 && static_cast<size_t>(n) == out.size();
}

bool WriteAt(int fd, uint32_t offset, std::span<const uint8_t> bytes) {
    const int32_t n = platform::WriteBytesAt(fd, offset, bytes.data(), static_cast<uint32_t>(bytes.size()));
    return n >= 0 && static_cast<size_t>(n) == bytes.size();
}

bool ReadHeader(int fd, HeaderBytes& bytes, LibraryHeader& header) {
    if (!ReadAt(fd, 0, bytes) || !Verify(BlockKind::Header, bytes)) return false;
    header = DecodeLibraryHeader(bytes);
    return true;
}

bool WriteHeader(int fd, const LibraryHeader& header) {
    HeaderBytes bytes;
    Encode(header, bytes);
    Seal(BlockKind::Header, bytes);
    return WriteAt(fd, 0, bytes);
}

bool ReadRecordHeader(int fd, uint32_t offset, RecordHeader& header) {
    RecordHeaderBytes bytes;
    if (!ReadAt(fd, offset, bytes) || !Verify(BlockKind::Record, bytes)) return false;
    header = DecodeRecordHeader(bytes);
    return true;
}

}  // namespace varnel32::format
