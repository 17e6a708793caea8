// Read-only views of a file on POSIX systems: mmap(2) from the page boundary at or below the
// offset asked for. MAP_SHARED, so that the view shows the page cache itself, writes
// through the descriptor included.
#include <sys/mman.h>
#include <unistd.h>

#include "platform/fault_point.h"
#include "platform/platform.h"

namespace varnel32::platform {

bool MapView(int fd, uint32_t offset, uint32_t count, FileView& view) {
    view = FileView{};
    if (TakeFault(FaultCall::Read) != FaultEffect::None) return false;
    if (count == 0 || offset > 0x7FFFFFFFu) return false;
    const auto page = static_cast<uint32_t>(::sysconf(_SC_PAGESIZE));
    const uint32_t from = offset - offset % page;
    const size_t length = size_t{offset - from} + count;
    void* base = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(from));
    if (base == MAP_FAILED) return false;
    view.base = base;
    view.length = length;
    view.bytes = static_cast<const uint8_t*>(base) + (offset - from);
    view.offset = offset;
    view.count = count;
    return true;
}

void UnmapView(FileView& view) {
    if (view.base != nullptr) ::munmap(view.base, view.length);
    view = FileView{};
}

// The view shows the page cache: a cut drops the pages past the new end, which nobody
// reads until the file grows there again.
bool ViewsSurviveCuts() { return true; }

}  // namespace varnel32::platform
