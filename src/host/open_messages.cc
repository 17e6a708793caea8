// Texts, sounds and box styles of the open-time messages. The refusal beeps with the stop
// sound but shows the exclamation icon; the prompt has only an OK button because the
// repair follows however the box is dismissed.
#include "host/open_messages.h"

namespace varnel32::host {
namespace {

constexpr uint32_t kIconHand = 0x10;         // MB_ICONHAND, with MB_OK (0)
constexpr uint32_t kIconExclamation = 0x30;  // MB_ICONEXCLAMATION, with MB_OK (0)

struct MessageText {
    uint32_t beep;
    uint32_t style;
    const char* text;
};

MessageText TextOf(OpenMessage message) {
    switch (message) {
        case OpenMessage::ReadOnlyRefusal:
            return {kIconHand, kIconExclamation,
                    "Infrared library file was not closed properly... Open file in the Quorvik "
                    "to repair."};
        case OpenMessage::RecoveryPrompt:
            return {kIconExclamation, kIconExclamation,
                    "Library file was not closed properly... Click OK to attempt recovery"};
        case OpenMessage::RecoveryFailed:
            break;
    }
    return {kIconHand, kIconHand, "Recovery Failed!"};
}

}  // namespace

void ShowOpenMessage(platform::Window owner, OpenMessage message) {
    const MessageText m = TextOf(message);
    platform::PlayMessageBeep(m.beep);
    platform::ShowMessageBox(owner, m.text, "Error", m.style);
}

}  // namespace varnel32::host
