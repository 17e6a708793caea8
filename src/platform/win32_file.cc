// Files on Windows: the C runtime's low-level I/O on integer descriptors. The share mode of
// _sopen is what keeps a writer alone with its file, between two opens in one process as
// between processes: readers deny writers, writers and creators deny everybody.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "platform/fault_point.h"
#include "platform/platform.h"

namespace varnel32::platform {
namespace {

// The flag values are those of the Windows C runtime; spelled out so that a change of
// headers cannot quietly change what is asked of the file system.
constexpr int kReadFlags = _O_RDONLY | _O_BINARY;                       // 0x8000
constexpr int kWriteFlags = _O_RDWR | _O_BINARY;                        // 0x8002
constexpr int kCreateFlags = _O_RDWR | _O_CREAT | _O_TRUNC | _O_BINARY;  // 0x8302
static_assert(kReadFlags == 0x8000 && kWriteFlags == 0x8002 && kCreateFlags == 0x8302);
static_assert(_SH_DENYRW == 0x10 && _SH_DENYWR == 0x20);
static_assert((_S_IREAD | _S_IWRITE) == 0x180);

int OpenShared(const char* path, int flags, int share) {
    if (TakeFault(FaultCall::Open) != FaultEffect::None) return kNoFile;
    const int fd = ::_sopen(path, flags, share, _S_IREAD | _S_IWRITE);
    return fd < 0 ? kNoFile : fd;
}

// Writes until done or the system refuses, then acts out a crash or torn write.
int32_t WriteAll(int fd, const void* buffer, uint32_t count, FaultEffect fault) {
    const auto* p = static_cast<const char*>(buffer);
    uint32_t done = 0;
    while (done < count) {
        const int n = ::_write(fd, p + done, count - done);
        if (n <= 0) break;
        done += static_cast<uint32_t>(n);
    }
    if (fault == FaultEffect::Crash || fault == FaultEffect::Torn) std::_Exit(kCrashExitStatus);
    if (done == 0 && count > 0) return -1;
    return static_cast<int32_t>(done);
}

}  // namespace

int OpenRead(const char* path) { return OpenShared(path, kReadFlags, _SH_DENYWR); }

int OpenWrite(const char* path) { return OpenShared(path, kWriteFlags, _SH_DENYRW); }

// _O_TRUNC is safe here: the share check comes before the file is emptied, so a file that
// anybody holds open makes the open fail with its bytes untouched.
int OpenCreate(const char* path) { return OpenShared(path, kCreateFlags, _SH_DENYRW); }

int32_t ReadBytes(int fd, void* buffer, uint32_t count) {
    const FaultEffect fault = TakeFault(FaultCall::Read);
    if (fault == FaultEffect::Fail || fault == FaultEffect::Crash) return -1;
    if (fault == FaultEffect::Short) count /= 2;
    // In binary mode a disk file returns less than asked only at its end.
    return ::_read(fd, buffer, count);
}

int32_t WriteBytes(int fd, const void* buffer, uint32_t count) {
    const FaultEffect fault = TakeFault(FaultCall::Write);
    if (fault == FaultEffect::Fail) return -1;
    if (fault == FaultEffect::Short || fault == FaultEffect::Torn) count /= 2;
    return WriteAll(fd, buffer, count, fault);
}

// The C runtime has no positioned transfer: a seek and the transfer, which count as one
// call for fault injection as pread and pwrite do elsewhere.
int32_t ReadBytesAt(int fd, uint32_t offset, void* buffer, uint32_t count) {
    const FaultEffect fault = TakeFault(FaultCall::Read);
    if (fault == FaultEffect::Fail || fault == FaultEffect::Crash) return -1;
    if (fault == FaultEffect::Short) count /= 2;
    if (offset > 0x7FFFFFFFu) return -1;
    // One read at the offset, not a seek then a read: threads that share a read-only handle
    // would otherwise move each other's file pointer between the two.
    const HANDLE file = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (file == INVALID_HANDLE_VALUE) return -1;
    OVERLAPPED at{};
    at.Offset = offset;
    DWORD got = 0;
    if (!::ReadFile(file, buffer, count, &got, &at)) return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    return static_cast<int32_t>(got);
}

int32_t WriteBytesAt(int fd, uint32_t offset, const void* buffer, uint32_t count) {
    const FaultEffect fault = TakeFault(FaultCall::Write);
    if (fault == FaultEffect::Fail) return -1;
    if (fault == FaultEffect::Short || fault == FaultEffect::Torn) count /= 2;
    if (offset > 0x7FFFFFFFu) return -1;
    const long target = static_cast<long>(offset);
    if (::_lseek(fd, target, SEEK_SET) != target) return -1;
    return WriteAll(fd, buffer, count, fault);
}

bool SeekTo(int fd, uint32_t offset) {
    if (TakeFault(FaultCall::Seek) != FaultEffect::None) return false;
    // _lseek takes a signed 32-bit long on Windows, so files stay below 2 GiB.
    if (offset > 0x7FFFFFFFu) return false;
    const long target = static_cast<long>(offset);
    return ::_lseek(fd, target, SEEK_SET) == target;
}

bool TruncateTo(int fd, uint32_t length) {
    if (TakeFault(FaultCall::Truncate) != FaultEffect::None) return false;
    if (length > 0x7FFFFFFFu) return false;
    return ::_chsize(fd, static_cast<long>(length)) == 0;
}

void CloseFile(int fd) {
    if (fd != kNoFile) ::_close(fd);
}

}  // namespace varnel32::platform
