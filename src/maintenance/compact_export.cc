// IRCompactLibrary's core: the mode test comes before the cursor is touched.
#include "library/busy_cursor.h"
#include "maintenance/compact.h"
#include "maintenance/maintenance.h"

namespace varnel32::maintenance {

int32_t CompactLibrary(LibraryHandle* handle) {
    if (!library::CanWrite(handle)) return 0;
    library::BusyCursorScope busy;
    return CompactLibraryFile(handle);
}

}  // namespace varnel32::maintenance
