#pragma once

#include <string_view>

namespace orvix::platform::linux_desktop {

// How the text on the clipboard reaches a terminal.
//
// The shortcuts the host sends elsewhere are harmful in a terminal: Control+C is the interrupt
// character, sent straight to the foreground job, and Control+V is "insert the next key
// literally" in shells, vim and emacs, which swallows whatever the user types next.
enum class TerminalPaste {
  notATerminal,
  // VTE terminals, Konsole, kitty, Alacritty and most others bind Control+Shift+V to pasting
  // the CLIPBOARD.
  controlShiftV,
  // xterm, rxvt and st have no clipboard shortcut by default; Shift+Insert pastes the PRIMARY
  // selection, so the text has to be offered there first.
  shiftInsertPrimary,
};

// Known terminal emulators by their window's WM_CLASS (instance and class names, compared
// without regard to case). Terminals the accessibility tree reveals by role are recognised
// there; this covers the ones that expose no accessibility at all (xterm, rxvt, st, kitty,
// Alacritty).
TerminalPaste terminalPasteForClass(std::string_view instance, std::string_view windowClass);

}  // namespace orvix::platform::linux_desktop
