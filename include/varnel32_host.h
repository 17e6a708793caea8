/*
 * varnel32_host.h: optional user-interface hooks that a host application on Linux (and
 * other non-Windows systems) may define to show varnel32's busy cursor and its open-time
 * message boxes in its own windows. The library exports none of these names; it holds
 * weak references to them, which the host's own definitions satisfy when the host
 * exports them (link the program with -rdynamic, or with
 * -Wl,--export-dynamic-symbol=varnel32_host_*). A hook that the host does not define
 * falls back to the library's default: the cursor does nothing visible and a message box
 * writes its caption and text to standard error. On Windows the library calls
 * LoadCursorA, SetCursor, MessageBeep and MessageBoxA and these hooks are not used.
 *
 * All hooks run on the thread that called into the library, inside that call.
 */
#ifndef VARNEL32_HOST_H
#define VARNEL32_HOST_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Returns the host's wait cursor (any non-null token the host chooses). `id` is 32514. */
void *varnel32_host_load_cursor(uint32_t id);

/* Makes `cursor` current and returns the cursor that was current before (may be NULL). */
void *varnel32_host_set_cursor(void *cursor);

/* Plays the alert sound `type` (0x10 stop, 0x30 exclamation). */
void varnel32_host_message_beep(uint32_t type);

/* Shows a modal message box owned by `owner` (may be NULL) and returns when the user
 * dismissed it. `style` is 0x30 (OK, exclamation icon) or 0x10 (OK, stop icon). */
int32_t varnel32_host_message_box(void *owner, const char *text, const char *caption,
                                  uint32_t style);

#ifdef __cplusplus
}
#endif

#endif /* VARNEL32_HOST_H */
