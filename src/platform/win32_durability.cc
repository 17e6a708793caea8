// The journal file and flushing on Windows: the C runtime's descriptors again. The journal
// is held with the share mode of a library opened for writing (nobody else may open it),
// and positioned writes are a seek and a write.
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include "platform/fault_point.h"
#include "platform/platform.h"

namespace varnel32::platform {

int OpenJournal(const char* path, bool& created) {
    if (TakeFault(FaultCall::Open) != FaultEffect::None) return kNoFile;
    created = !FileExists(path);
    const int fd = ::_sopen(path, _O_RDWR | _O_CREAT | _O_BINARY, _SH_DENYRW,
                            _S_IREAD | _S_IWRITE);
    return fd < 0 ? kNoFile : fd;
}

bool FileLength(int fd, uint32_t& length) {
    if (TakeFault(FaultCall::Seek) != FaultEffect::None) return false;
    const long size = ::_filelength(fd);
    if (size < 0) return false;
    length = static_cast<uint32_t>(size);
    return true;
}

// _commit is FlushFileBuffers on the descriptor's handle.
bool SyncFile(int fd) { return ::_commit(fd) == 0; }

// NTFS makes a created file's name durable with the file; there is no folder to flush.
bool SyncFolderOf(const char*) { return true; }

bool FileExists(const char* path) { return ::_access(path, 0) == 0; }

void RemoveFile(const char* path) { ::_unlink(path); }

}  // namespace varnel32::platform
