// The host user interface on Windows: the system's wait cursor for the long-running calls,
// and the beep and modal message box of the open-time messages, owned by the caller's
// window and run on the caller's thread.
#include <windows.h>

#include "platform/platform.h"

namespace varnel32::platform {

Cursor LoadWaitCursor() {
    return LoadCursorA(nullptr, MAKEINTRESOURCEA(kWaitCursorId));
}

Cursor SetCurrentCursor(Cursor cursor) { return SetCursor(static_cast<HCURSOR>(cursor)); }

void PlayMessageBeep(uint32_t type) { MessageBeep(type); }

void ShowMessageBox(Window owner, const char* text, const char* caption, uint32_t style) {
    MessageBoxA(static_cast<HWND>(owner), text, caption, style);
}

}  // namespace varnel32::platform
