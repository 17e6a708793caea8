// The three messages that opening a library file left dirty may show: a beep and a modal
// box captioned "Error", owned by the window the caller passed to the open.
#pragma once

#include "platform/platform.h"

namespace varnel32::host {

enum class OpenMessage {
    ReadOnlyRefusal,  // dirty file opened without write access
    RecoveryPrompt,   // dirty file opened for writing, before the repair
    RecoveryFailed,   // the repair did not succeed
};

void ShowOpenMessage(platform::Window owner, OpenMessage message);

}  // namespace varnel32::host
