#pragma once

#include <X11/X.h>

#include <cstdint>
#include <optional>

#include "platform/input_events.h"

namespace orvix::platform::linux_desktop {

// The host speaks in the key codes of a US keyboard's positions on macOS (9 is V, 36 Return).
// X key codes depend on the keyboard and layout, so the binding goes through key symbols: a
// host code names a symbol, and the current layout's key code for that symbol is what is sent.
//
// Not one to one:
// - Command, the shortcut modifier of macOS, is Control here (Command+V becomes Control+V, and
//   a user's Control+C is seen as Command+C); Option is Alt; Shift is Shift. The Super key has
//   no host meaning and is reported as no code.
// - Host codes outside this table (function keys, keypad) send nothing.
std::optional<KeySym> keySymForHostCode(std::uint16_t hostCode);
std::optional<std::uint16_t> hostCodeForKeySym(KeySym symbol);
// The modifier flag a key symbol sets while it is down, 0 for other keys.
EventFlags modifierFlagOf(KeySym symbol);

}  // namespace orvix::platform::linux_desktop
