#include "platform/linux/desktop/terminal_windows.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

namespace orvix::platform::linux_desktop {

namespace {

// Lower-case WM_CLASS names; either the instance or the class name may match.
constexpr std::array<std::pair<std::string_view, TerminalPaste>, 34> kTerminals = {{
    {"xterm", TerminalPaste::shiftInsertPrimary},
    {"uxterm", TerminalPaste::shiftInsertPrimary},
    {"urxvt", TerminalPaste::shiftInsertPrimary},
    {"rxvt", TerminalPaste::shiftInsertPrimary},
    {"st", TerminalPaste::shiftInsertPrimary},
    {"st-256color", TerminalPaste::shiftInsertPrimary},
    {"eterm", TerminalPaste::shiftInsertPrimary},
    {"aterm", TerminalPaste::shiftInsertPrimary},
    {"gnome-terminal", TerminalPaste::controlShiftV},
    {"gnome-terminal-server", TerminalPaste::controlShiftV},
    {"kgx", TerminalPaste::controlShiftV},
    {"org.gnome.console", TerminalPaste::controlShiftV},
    {"org.gnome.ptyxis", TerminalPaste::controlShiftV},
    {"xfce4-terminal", TerminalPaste::controlShiftV},
    {"sakura", TerminalPaste::controlShiftV},
    {"tilix", TerminalPaste::controlShiftV},
    {"terminator", TerminalPaste::controlShiftV},
    {"mate-terminal", TerminalPaste::controlShiftV},
    {"lxterminal", TerminalPaste::controlShiftV},
    {"qterminal", TerminalPaste::controlShiftV},
    {"konsole", TerminalPaste::controlShiftV},
    {"yakuake", TerminalPaste::controlShiftV},
    {"guake", TerminalPaste::controlShiftV},
    {"tilda", TerminalPaste::controlShiftV},
    {"terminology", TerminalPaste::controlShiftV},
    {"roxterm", TerminalPaste::controlShiftV},
    {"kitty", TerminalPaste::controlShiftV},
    {"alacritty", TerminalPaste::controlShiftV},
    {"org.wezfurlong.wezterm", TerminalPaste::controlShiftV},
    {"foot", TerminalPaste::controlShiftV},
    {"cool-retro-term", TerminalPaste::controlShiftV},
    {"hyper", TerminalPaste::controlShiftV},
    {"tabby", TerminalPaste::controlShiftV},
    {"deepin-terminal", TerminalPaste::controlShiftV},
}};

bool sameIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

TerminalPaste terminalPasteForClass(std::string_view instance, std::string_view windowClass) {
  for (const auto& [name, paste] : kTerminals) {
    if (sameIgnoringCase(name, instance) || sameIgnoringCase(name, windowClass)) return paste;
  }
  return TerminalPaste::notATerminal;
}

}  // namespace orvix::platform::linux_desktop
