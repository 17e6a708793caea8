// The user interface of test builds: instead of showing anything, every cursor, beep and
// message-box call is recorded so that tests can check which calls were made, in what
// order and with which values. The current cursor is kept per thread, as on Windows.
#include <mutex>

#include "platform/platform.h"
#include "platform/testing/fault_injection.h"

namespace varnel32::platform {
namespace testing {
namespace {

std::mutex g_mutex;
std::vector<UiEvent> g_events;
thread_local Cursor t_current = nullptr;
char g_waitCursorToken;

void Record(UiEvent event) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_events.push_back(std::move(event));
}

}  // namespace

std::vector<UiEvent> UiEvents() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_events;
}

void ClearUiEvents() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_events.clear();
}

Cursor CurrentCursor() { return t_current; }
void SetCurrentCursorForTest(Cursor cursor) { t_current = cursor; }
Cursor WaitCursor() { return &g_waitCursorToken; }

}  // namespace testing

Cursor LoadWaitCursor() {
    testing::UiEvent e;
    e.kind = testing::UiEvent::Kind::LoadCursor;
    e.cursor = testing::WaitCursor();
    e.value = kWaitCursorId;
    testing::Record(e);
    return testing::WaitCursor();
}

Cursor SetCurrentCursor(Cursor cursor) {
    testing::UiEvent e;
    e.kind = testing::UiEvent::Kind::SetCursor;
    e.cursor = cursor;
    testing::Record(e);
    Cursor previous = testing::t_current;
    testing::t_current = cursor;
    return previous;
}

void PlayMessageBeep(uint32_t type) {
    testing::UiEvent e;
    e.kind = testing::UiEvent::Kind::Beep;
    e.value = type;
    testing::Record(e);
}

void ShowMessageBox(Window owner, const char* text, const char* caption, uint32_t style) {
    testing::UiEvent e;
    e.kind = testing::UiEvent::Kind::MessageBox;
    e.owner = owner;
    e.text = text;
    e.caption = caption;
    e.value = style;
    testing::Record(e);
}

}  // namespace varnel32::platform
