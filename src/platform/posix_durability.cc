// The journal file and flushing on POSIX systems. The journal is locked like a library
// opened for writing (flock, exclusive, never waiting) and written with positioned
// writes, so that each run of journal blocks goes out in one system call.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/fault_point.h"
#include "platform/platform.h"

namespace varnel32::platform {

int OpenJournal(const char* path, bool& created) {
    if (TakeFault(FaultCall::Open) != FaultEffect::None) return kNoFile;
    created = !FileExists(path);
    int fd;
    do {
        fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return kNoFile;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return kNoFile;
    }
    return fd;
}

bool FileLength(int fd, uint32_t& length) {
    if (TakeFault(FaultCall::Seek) != FaultEffect::None) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size < 0 || st.st_size > 0x7FFFFFFF) return false;
    length = static_cast<uint32_t>(st.st_size);
    return true;
}

bool SyncFile(int fd) {
    int r;
    do {
        r = ::fsync(fd);
    } while (r != 0 && errno == EINTR);
    return r == 0;
}

bool SyncFolderOf(const char* path) {
    char folder[4096];
    const size_t length = ::strnlen(path, sizeof folder);
    if (length >= sizeof folder) return false;
    std::memcpy(folder, path, length + 1);
    char* slash = std::strrchr(folder, '/');
    if (slash == nullptr) {
        std::memcpy(folder, ".", 2);
    } else if (slash == folder) {
        slash[1] = '\0';
    } else {
        *slash = '\0';
    }
    const int fd = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = SyncFile(fd);
    ::close(fd);
    return synced;
}

bool FileExists(const char* path) {
    struct stat st {};
    return ::stat(path, &st) == 0;
}

void RemoveFile(const char* path) { ::unlink(path); }

}  // namespace varnel32::platform
