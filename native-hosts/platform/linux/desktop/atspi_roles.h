#pragma once

#include <atspi/atspi.h>

#include <string_view>

namespace orvix::platform::linux_desktop {

// The macOS role an AT-SPI role stands for. AT-SPI has one text role for single- and multi-line
// text, told apart by the MULTI_LINE state (AXTextArea) or not (AXTextField); a password entry
// is an AXTextField whose subrole is AXSecureTextField. Panels, fillers and sections are
// AXGroup, frames and dialogs AXWindow; roles without a counterpart are AXUnknown.
std::string_view axRoleFor(AtspiRole role, bool multiLine);

// Frames, windows and dialogs: what AXWindow and AXWindows answer.
bool isWindowRole(AtspiRole role);

}  // namespace orvix::platform::linux_desktop
