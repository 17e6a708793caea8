// BusyCursorScope: shows the platform's wait cursor for as long as it lives and restores
// the cursor that was current before on every path out of the call that made it.
#pragma once

#include "platform/platform.h"

namespace varnel32::host {

class BusyCursorScope {
public:
    BusyCursorScope()
        : previous_(platform::SetCurrentCursor(platform::LoadWaitCursor())) {}
    ~BusyCursorScope() { End(); }
    BusyCursorScope(const BusyCursorScope&) = delete;
    BusyCursorScope& operator=(const BusyCursorScope&) = delete;
    // Restores the previous cursor now, for calls whose order of release is fixed.
    void End() {
        if (active_) platform::SetCurrentCursor(previous_);
        active_ = false;
    }

private:
    platform::Cursor previous_;
    bool active_ = true;
};

}  // namespace varnel32::host
