#pragma once

#include <functional>
#include <mutex>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "platform/input_events.h"
#include "platform/linux/desktop/posted_event_marks.h"
#include "platform/linux/desktop/x11_display.h"

namespace orvix::platform::linux_desktop {

// What the input events need from the rest of the desktop binding; each may be empty.
struct TerminalSupport {
  // Whether the focused element is a terminal by its accessibility role (for terminals whose
  // window class is not a known one).
  std::function<bool()> focusIsTerminal;
  // Puts the PRIMARY selection's text on the clipboard, as a copy command would.
  std::function<bool()> copyPrimaryToClipboard;
  // Offers the clipboard's text as the PRIMARY selection too.
  std::function<bool()> offerClipboardAsPrimary;
};

// Synthetic input through the XTest extension.
//
// Where the mapping is not one to one (see also key_mapping.h):
// - A key event's modifier flags are pressed before its key goes down and released after it
//   comes up, since XTest injects keys, not flagged events. Modifier keys the user still holds
//   (a dictation hotkey's Shift or Alt) are released for the length of the shortcut and pressed
//   again after it, so Control+V does not reach the application as Control+Shift+V.
// - A key the current keyboard map has no key code for (a layout without a Latin group), or a
//   key while no window has the input focus, cannot be typed: creating its event fails.
// - Terminals (terminal_windows.h) get the clipboard shortcuts of a terminal: Command+V is
//   Control+Shift+V there, or Shift+Insert with the text offered as PRIMARY; Command+C sends no
//   key at all (Control+C would interrupt the foreground job) and copies the terminal's
//   selection, which X keeps as PRIMARY, to the clipboard instead.
// - Both tap locations inject at the server, like a device; there is no session level.
// - A left click presses the physical button the core pointer map makes the primary one, so a
//   left-handed map does not turn it into a right click.
// - X has no click count: mouseEventClickState is kept on the event and not sent; two clicks
//   posted in quick succession are a double click to the application, as on macOS.
// - A scroll of N pixels is one wheel step (button 4 up, 5 down) per started 10 pixels, at most
//   100 steps; a line scroll is one step per line.
// - eventTargetUnixProcessID and the event source's state have no X counterpart.
class XTestInputEvents final : public InputEvents {
 public:
  // Null when the server lacks the XTest extension.
  static std::unique_ptr<XTestInputEvents> create(std::unique_ptr<X11Display> display,
                                                  std::shared_ptr<PostedEventMarks> mark,
                                                  TerminalSupport terminals = {});

  std::unique_ptr<InputEventSource> createSource(EventSourceState state) override;
  std::unique_ptr<InputEvent> createEvent(const InputEventSource* source) override;
  std::unique_ptr<InputEvent> createKeyboardEvent(const InputEventSource* source,
                                                  std::uint16_t keyCode, bool keyDown) override;
  std::unique_ptr<InputEvent> createMouseEvent(const InputEventSource* source, EventType type,
                                               ScreenPoint location, MouseButton button) override;
  std::unique_ptr<InputEvent> createScrollWheelEvent(const InputEventSource* source,
                                                     ScrollUnit unit, std::int32_t wheel1) override;
  void post(EventTapLocation tap, const InputEvent& event) override;
  std::shared_ptr<EventTap> createListenOnlySessionTap(EventMask mask,
                                                       EventTapCallback callback) override;

 private:
  // The key transitions of one key press, worked out when it goes down and undone when it
  // comes up.
  struct KeyPlan {
    std::uint16_t hostCode = 0;
    KeyCode key = 0;                     // 0: the press sends no key
    std::vector<KeyCode> modifiers;      // pressed around the key, in order
    std::vector<KeyCode> heldByUser;     // released around the key, pressed again after
  };

  XTestInputEvents(std::unique_ptr<X11Display> display, std::shared_ptr<PostedEventMarks> mark,
                   TerminalSupport terminals);
  // Queues the marks of `transitions`, about to be injected, with the server's time now (a
  // round trip); the display's lock is held.
  void markLocked(std::int64_t mark, std::span<const XTestTransition> transitions);
  ScreenPoint pointer();
  // Both take the display's lock first.
  KeyCode keyCodeLocked(KeySym symbol);
  unsigned primaryButtonLocked();
  std::vector<KeyCode> heldModifierKeysLocked();
  // What a clipboard shortcut turns into in the focused window (no lock held).
  std::optional<KeyPlan> terminalShortcut(KeySym symbol, EventFlags flags);
  void postKey(const InputEvent& event);

  std::unique_ptr<X11Display> display_;
  // A window of this connection's own, whose property changes the server stamps with its time.
  Window stampWindow_ = None;
  Atom stampProperty_ = None;
  std::shared_ptr<PostedEventMarks> mark_;
  TerminalSupport terminals_;
  std::mutex keysLock_;
  std::optional<KeyPlan> pressed_;  // under keysLock_
};

}  // namespace orvix::platform::linux_desktop
