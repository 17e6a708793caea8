// Block reads and writes through the platform layer, each one positioned transfer.
#include "handle/block_io.h"

#include "platform/platform.h"

namespace varnel32::io {

bool ReadAt(int fd, uint32_t offset, std::span<uint8_t> out) {
    const int32_t n = platform::ReadBytesAt(fd, offset, out.data(), static_cast<uint32_t>(out.size()));
    return n >= 0 && static_cast<size_t>(n) == out.size();
}

bool WriteAt(int fd, uint32_t offset, std::span<const uint8_t> bytes) {
    const int32_t n = platform::WriteBytesAt(fd, offset, bytes.data(), static_cast<uint32_t>(bytes.size()));
    return n >= 0 && static_cast<size_t>(n) == bytes.size();
}

bool ReadHeader(int fd, format::HeaderBytes& bytes, format::LibraryHeader& header) {
    if (!ReadAt(fd, 0, bytes) || !format::Verify(format::BlockKind::Header, bytes)) return false;
    header = format::DecodeLibraryHeader(bytes);
    return true;
}

bool WriteHeader(int fd, const format::LibraryHeader& header) {
    format::HeaderBytes bytes;
    format::Encode(header, bytes);
    format::Seal(format::BlockKind::Header, bytes);
    return WriteAt(fd, 0, bytes);
}

bool ReadRecordHeader(int fd, uint32_t offset, format::RecordHeader& header) {
    format::RecordHeaderBytes bytes;
    if (!ReadAt(fd, offset, bytes) || !format::Verify(format::BlockKind::Record, bytes)) return false;
    header = format::DecodeRecordHeader(bytes);
    return true;
}

}  // namespace varnel32::io
