// Creating a library file: an empty, sealed 1570-byte header of the chosen kind. The
// create opens the file exclusively, so it fails on a file anyone holds open and nobody
// can read a half-written header.
#include "handle/block_io.h"
#include "journal/journal.h"
#include "library/lifecycle.h"

namespace varnel32::library {

uint32_t KindFromFlags(uint32_t kindFlags) {
    const uint32_t flags = kindFlags & 0xFFu;
    uint32_t kind = (flags & IRCreateWriteProtected) ? format::kKindWriteProtected : 0;
    if (flags & IRCreateCommandLibrary) {
        kind |= format::kKindCommand;
    } else if (flags & IRCreateKind8) {
        kind |= format::kKind8;
    } else {
        kind |= format::kKindInfrared;
    }
    return kind;
}

int32_t CreateLibrary(const char* path, uint32_t kindFlags) {
    const int fd = platform::OpenCreate(path);
    if (fd == platform::kNoFile) return 0;
    // A journal left beside an earlier file of this name belongs to that file.
    char journalPath[journal::kJournalPathSize];
    if (journal::JournalPathOf(path, journalPath)) platform::RemoveFile(journalPath);
    format::LibraryHeader header;
    header.kind = KindFromFlags(kindFlags);
    const bool written = io::WriteHeader(fd, header);
    platform::CloseFile(fd);
    return written ? 1 : 0;
}

}  // namespace varnel32::library
