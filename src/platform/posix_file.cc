// Files on Linux and other POSIX systems. POSIX has no share modes, so the exclusion that
// keeps a writer alone with its file is built from BSD flock(2) locks, which belong to the
// open file description: they separate two opens in one process as well as two processes.
// A reader takes a shared lock, a writer an exclusive one, never waiting for either.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fault_point.h"
#include "platform/platform.h"

namespace varnel32::platform {
namespace {

int OpenLocked(const char* path, int flags, int lockKind) {
    const FaultEffect fault = TakeFault(FaultCall::Open);
    if (fault != FaultEffect::None) return kNoFile;
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return kNoFile;
    int locked;
    do {
        locked = ::flock(fd, lockKind | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        ::close(fd);
        return kNoFile;
    }
    return fd;
}

// The loop both writes share: `put(done)` writes on from byte `done` and returns what the
// system call did; a crash or torn-write fault ends the process once the bytes are out.
template <typename Put>
int32_t WriteAll(FaultEffect fault, uint32_t count, Put put) {
    uint32_t done = 0;
    while (done < count) {
        const ssize_t n = put(done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<uint32_t>(n);
    }
    if (fault == FaultEffect::Crash || fault == FaultEffect::Torn) _exit(kCrashExitStatus);
    if (done == 0 && count > 0) return -1;
    return static_cast<int32_t>(done);
}

}  // namespace

int OpenRead(const char* path) { return OpenLocked(path, O_RDONLY, LOCK_SH); }

int OpenWrite(const char* path) { return OpenLocked(path, O_RDWR, LOCK_EX); }

int OpenCreate(const char* path) {
    // Lock first, then empty: O_TRUNC would cut a file that another opener still holds.
    const int fd = OpenLocked(path, O_RDWR | O_CREAT, LOCK_EX);
    if (fd == kNoFile) return kNoFile;
    if (::ftruncate(fd, 0) != 0) {
        ::close(fd);
        return kNoFile;
    }
    return fd;
}

int32_t ReadBytes(int fd, void* buffer, uint32_t count) {
    const FaultEffect fault = TakeFault(FaultCall::Read);
    if (fault == FaultEffect::Fail || fault == FaultEffect::Crash) return -1;
    if (fault == FaultEffect::Short) count /= 2;
    // A regular file returns less than asked only at its end, so one call is one transfer.
    ssize_t n;
    do {
        n = ::read(fd, buffer, count);
    } while (n < 0 && errno == EINTR);
    return static_cast<int32_t>(n);
}

int32_t WriteBytes(int fd, const void* buffer, uint32_t count) {
    const FaultEffect fault = TakeFault(FaultCall::Write);
    if (fault == FaultEffect::Fail) return -1;
    if (fault == FaultEffect::Short || fault == FaultEffect::Torn) count /= 2;
    const auto* p = static_cast<const char*>(buffer);
    return WriteAll(fault, count, [&](uint32_t done) { return ::write(fd, p + done, count - done); });
}

int32_t ReadBytesAt(int fd, uint32_t offset, void* buffer, uint32_t count) {
    const FaultEffect fault = TakeFault(FaultCall::Read);
    if (fault == FaultEffect::Fail || fault == FaultEffect::Crash) return -1;
    if (fault == FaultEffect::Short) count /= 2;
    if (offset > 0x7FFFFFFFu) return -1;
    ssize_t n;
    do {
        n = ::pread(fd, buffer, count, static_cast<off_t>(offset));
    } while (n < 0 && errno == EINTR);
    return static_cast<int32_t>(n);
}

int32_t WriteBytesAt(int fd, uint32_t offset, const void* buffer, uint32_t count) {
    const FaultEffect fault = TakeFault(FaultCall::Write);
    if (fault == FaultEffect::Fail) return -1;
    if (fault == FaultEffect::Short || fault == FaultEffect::Torn) count /= 2;
    if (offset > 0x7FFFFFFFu) return -1;
    const auto* p = static_cast<const char*>(buffer);
    return WriteAll(fault, count, [&](uint32_t done) {
        return ::pwrite(fd, p + done, count - done, static_cast<off_t>(offset) + done);
    });
}

bool SeekTo(int fd, uint32_t offset) {
    if (TakeFault(FaultCall::Seek) != FaultEffect::None) return false;
    // Offsets are signed 32-bit in the file format's positioning, so files stay below 2 GiB.
    if (offset > 0x7FFFFFFFu) return false;
    return ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

bool TruncateTo(int fd, uint32_t length) {
    if (TakeFault(FaultCall::Truncate) != FaultEffect::None) return false;
    int r;
    do {
        r = ::ftruncate(fd, static_cast<off_t>(length));
    } while (r != 0 && errno == EINTR);
    return r == 0;
}

void CloseFile(int fd) {
    if (fd != kNoFile) ::close(fd);
}

}  // namespace varnel32::platform
