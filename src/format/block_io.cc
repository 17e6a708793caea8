// Block reads and writes through the platform layer. A seek that fails shows as a failed
// transfer, so the callers need test only one result.
#include "format/block_io.h"

#include "platform/platform.h"

namespace varnel32::format {

bool ReadAt(int fd, uint32_t offset, std::span<uint8_t> out) {
    if (!platform::SeekTo(fd, offset)) return false;
    const int32_t n = platform::ReadBytes(fd, out.data(), static_cast<uint32_t>(out.size()));
    return n >= 0 && static_cast<size_t>(n) == out.size();
}

bool WriteAt(int fd, uint32_t offset, std::span<const uint8_t> bytes) {
    if (!platform::SeekTo(fd, offset)) return false;
    const int32_t n = platform::WriteBytes(fd, bytes.data(), static_cast<uint32_t>(bytes.size()));
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
