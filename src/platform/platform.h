// The platform layer: everything the core needs from the operating system, behind one
// small interface so that the same core builds on Linux (posix_*.cc) and Windows
// (win32_*.cc). Test builds link a variant compiled with VARNEL32_TESTING that can make
// any call fail (testing/fault_injection.h) and records the user-interface calls.
#pragma once

#include <cstddef>
#include <cstdint>

namespace varnel32::platform {

// ---- Files on an integer descriptor ----------------------------------------------------
// Sharing rules, which hold between processes and between two opens in one process:
// any number of OpenRead opens of a file coexist; OpenWrite and OpenCreate succeed only
// while nobody else has the file open, and keep everybody else out until closed. An open
// that these rules refuse fails exactly like a missing file: -1.

inline constexpr int kNoFile = -1;

int OpenRead(const char* path);    // read only, others may read, nobody may write
int OpenWrite(const char* path);   // read and write, nobody else may open the file
int OpenCreate(const char* path);  // as OpenWrite, creating or emptying the file; a file
                                   // that someone else holds open is never emptied
// Bytes transferred, which may be fewer than asked; -1 on failure.
int32_t ReadBytes(int fd, void* buffer, uint32_t count);
int32_t WriteBytes(int fd, const void* buffer, uint32_t count);
// The same at `offset` from the start of the file, in one call where the system has one
// (pread/pwrite); the file position is then left where it was. Offsets above 2^31 - 1
// fail, as a seek to them would.
int32_t ReadBytesAt(int fd, uint32_t offset, void* buffer, uint32_t count);
int32_t WriteBytesAt(int fd, uint32_t offset, const void* buffer, uint32_t count);
// Positions the file at `offset` from its start; false on failure.
bool SeekTo(int fd, uint32_t offset);
// Sets the file's length; false on failure.
bool TruncateTo(int fd, uint32_t length);
void CloseFile(int fd);

// ---- Read-only views of a file (posix_mapping.cc, win32_mapping.cc) ----------------------
// `bytes` shows the `count` file bytes from `offset`; `base` and `length` are what the
// system mapped (from a boundary it accepts), `mapping` its object where it has one.
struct FileView {
    const uint8_t* bytes = nullptr;
    uint32_t offset = 0;
    uint32_t count = 0;
    void* base = nullptr;
    size_t length = 0;
    void* mapping = nullptr;
};
// Maps `count` bytes of the file from `offset` (all within the file) for reading. The view
// is the file itself, not a copy: writes to those bytes through the descriptor show in it
// at once. The file must not be cut below the view while it is mapped. Counts as a read
// for fault injection; false on failure.
bool MapView(int fd, uint32_t offset, uint32_t count, FileView& view);
void UnmapView(FileView& view);  // nothing when nothing is mapped
// Whether a view may stay mapped while the file is cut or grows (POSIX); where it may not
// (Windows: a mapped file cannot be cut), views go before the file's length changes.
bool ViewsSurviveCuts();

// ---- The journal beside a library file and flushing (posix_durability.cc, win32_...) -----
// Opens or creates `path` for reading and writing, kept exclusively like OpenWrite; sets
// `created` when the file did not exist. -1 on failure.
int OpenJournal(const char* path, bool& created);
// The file's length; false on failure.
bool FileLength(int fd, uint32_t& length);
// Flushes the file's data to the disk (fsync, FlushFileBuffers); false on failure.
bool SyncFile(int fd);
// Flushes the folder that holds `path`, so that a file just created there survives a power
// loss. Nothing to do on Windows.
bool SyncFolderOf(const char* path);
bool FileExists(const char* path);
void RemoveFile(const char* path);

// ---- Memory ------------------------------------------------------------------------------
// Every block the library hands to a caller comes from here and goes back through Release.
void* AllocateZeroed(size_t size);
// The same without zero-filling, for blocks that are written whole before anyone reads them.
void* Allocate(size_t size);
void* Reallocate(void* block, size_t size);  // null on failure, `block` then unchanged
void Release(void* block);

// ---- Synchronisation ------------------------------------------------------------------
// The process-wide re-entrant lock of the handle registry, created when the library is
// loaded and destroyed when it is unloaded.
void RegistryLockCreate();
void RegistryLockDestroy();
void RegistryLockEnter();
void RegistryLockLeave();
int32_t AtomicIncrement(int32_t* value);  // returns the new value
int32_t AtomicDecrement(int32_t* value);

// ---- Strings -----------------------------------------------------------------------------
// Names of manufacturers, types and models: equal when they match with ASCII letters of
// either case counted equal (on Windows lstrcmpiA, which also folds the letters of the
// user's code page beyond ASCII). Both must be zero-terminated.
bool NamesEqual(const char* a, const char* b);
// Library paths: without regard to letter case on Windows, byte for byte elsewhere, so that
// one handle never serves two different files.
bool PathsEqual(const char* a, const char* b);
// A hash of a name that is the same for any two names NamesEqual finds equal, for the
// catalogue's lookup tables; false where the platform cannot promise that (lstrcmpiA's
// folding depends on the user's locale), and the catalogue then scans instead.
bool HashName(const char* name, uint32_t& hash);

// ---- Host user interface ------------------------------------------------------------------
using Cursor = void*;
using Window = void*;
inline constexpr uint32_t kWaitCursorId = 32514;  // IDC_WAIT

Cursor LoadWaitCursor();
Cursor SetCurrentCursor(Cursor cursor);  // returns the previous cursor
void PlayMessageBeep(uint32_t type);
void ShowMessageBox(Window owner, const char* text, const char* caption, uint32_t style);

}  // namespace varnel32::platform
