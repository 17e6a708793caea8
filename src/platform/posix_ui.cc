// The host user interface on POSIX systems. There is no platform cursor or message box, so
// the library calls the hooks of varnel32_host.h when the host application defines them
// (weak references: the library exports nothing for them) and otherwise shows nothing for
// the cursor and writes message boxes to standard error.
#include <cstdio>

#include "platform/platform.h"
#include "varnel32_host.h"

#pragma weak varnel32_host_load_cursor
#pragma weak varnel32_host_set_cursor
#pragma weak varnel32_host_message_beep
#pragma weak varnel32_host_message_box

namespace varnel32::platform {

Cursor LoadWaitCursor() {
    if (varnel32_host_load_cursor != nullptr) return varnel32_host_load_cursor(kWaitCursorId);
    return nullptr;
}

Cursor SetCurrentCursor(Cursor cursor) {
    if (varnel32_host_set_cursor != nullptr) return varnel32_host_set_cursor(cursor);
    return nullptr;
}

void PlayMessageBeep(uint32_t type) {
    if (varnel32_host_message_beep != nullptr) varnel32_host_message_beep(type);
}

void ShowMessageBox(Window owner, const char* text, const char* caption, uint32_t style) {
    if (varnel32_host_message_box != nullptr) {
        varnel32_host_message_box(owner, text, caption, style);
        return;
    }
    std::fprintf(stderr, "%s: %s\n", caption, text);
}

}  // namespace varnel32::platform
