// Read-only views of a file on Windows: a section of the whole file and a view of it from
// the allocation-granularity boundary at or below the offset asked for. Views and the
// descriptor's writes go through the same cache, so a view shows those writes at once.
#include <windows.h>

#include <io.h>

#include "platform/fault_point.h"
#include "platform/platform.h"

namespace varnel32::platform {

bool MapView(int fd, uint32_t offset, uint32_t count, FileView& view) {
    view = FileView{};
    if (TakeFault(FaultCall::Read) != FaultEffect::None) return false;
    if (count == 0 || offset > 0x7FFFFFFFu) return false;
    const HANDLE file = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (file == INVALID_HANDLE_VALUE) return false;
    SYSTEM_INFO system;
    ::GetSystemInfo(&system);
    const uint32_t from = offset - offset % system.dwAllocationGranularity;
    const size_t length = size_t{offset - from} + count;
    // Sized by the file as it stands: the view never reaches past its end.
    const HANDLE section = ::CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (section == nullptr) return false;
    void* base = ::MapViewOfFile(section, FILE_MAP_READ, 0, from, length);
    if (base == nullptr) {
        ::CloseHandle(section);
        return false;
    }
    view.base = base;
    view.length = length;
    view.mapping = section;
    view.bytes = static_cast<const uint8_t*>(base) + (offset - from);
    view.offset = offset;
    view.count = count;
    return true;
}

void UnmapView(FileView& view) {
    if (view.base != nullptr) ::UnmapViewOfFile(view.base);
    if (view.mapping != nullptr) ::CloseHandle(view.mapping);
    view = FileView{};
}

// SetEndOfFile refuses a file with a mapped view, and the section is sized by the file.
bool ViewsSurviveCuts() { return false; }

}  // namespace varnel32::platform
