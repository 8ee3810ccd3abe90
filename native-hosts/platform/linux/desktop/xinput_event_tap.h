#pragma once

#include <X11/X.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>

#include "platform/input_events.h"
#include "platform/linux/desktop/x11_display.h"
#include "platform/linux/desktop/xtest_input_events.h"

namespace orvix::platform::linux_desktop {

// A listen-only tap over XInput 2 raw events, selected on the root window: it sees every key
// and button of every device, the XTest device's injected ones included, and can change none.
// A thread of its own reads its own X connection and posts each event to the run loop the
// source was added to.
//
// Where the mapping is not one to one:
// - Raw events carry no modifier state, no position and no click count: the tap keeps the
//   modifiers down itself (key_mapping.h: Control is Command), reads the pointer when the event
//   is read, and counts a left press within 500 ms and 4 pixels of the previous one as the next
//   click of a multiple click.
// - Raw events carry no keyboard group either, and their key code is the key's, not a symbol:
//   the tap follows XKB's effective group (its state notifications arrive in order with the
//   keys) and reads the key's symbol in that group, as the focused application does. A key
//   whose symbol there has no host code (с on a Russian layout) takes the first Latin-1 symbol
//   of the key's other groups that has one, so Control+С on `ru,us` is Command+C, as GTK and Qt
//   match shortcuts.
// - Raw button numbers are the device's, before any button mapping: the left mouse button is
//   the one that the source device's map and then the core pointer map (xmodmap's
//   `pointer = 3 2 1`) turn into button 1, the primary button. A left-handed user's physical
//   right button is the left mouse button, as on macOS with swapped buttons.
// - eventTargetUnixProcessID: for a key, the process of the client whose top-level window
//   holds the keyboard focus; for a button or wheel, of the client whose window is under the
//   pointer (a release: the one its press went to, X's implicit grab); 0 where no client's
//   window is there (the root, a window manager's frame) and for pointer motion. The process is
//   the server's answer (X11Display::windowPid). Read when the event is read, a moment after it
//   happened.
// - eventSourceUserData: key and button transitions from an XTest device carry the mark of the
//   host's post that injected them (PostedEventMarks: the same key or button going the same
//   way, stamped within a second of the post); all others, another XTest client's included, and
//   pointer motion carry 0.
// - X never switches a tap off, so the timeout and user-input notifications never come.
class XInputEventTap final : public EventTap {
 public:
  // Null when the server lacks XInput 2 or `display` is null.
  static std::shared_ptr<XInputEventTap> create(std::unique_ptr<X11Display> display,
                                                std::shared_ptr<PostedEventMarks> mark,
                                                EventMask mask, EventTapCallback callback);
  ~XInputEventTap() override;

  void setEnabled(bool enabled) override;
  void invalidate() override;
  void addRunLoopSource(RunLoop& loop) override;

  struct Delivery;  // what the reader thread and posted tasks share
  struct Reader;    // what only the reader thread touches

 private:
  XInputEventTap(std::unique_ptr<X11Display> display, std::shared_ptr<Delivery> delivery,
                 std::unique_ptr<Reader> reader, int wake);
  void read();

  std::unique_ptr<X11Display> display_;
  std::shared_ptr<Delivery> delivery_;
  std::unique_ptr<Reader> state_;  // before display_ goes: it holds the connection's devices
  int wake_;  // eventfd that ends the reader
  std::thread reader_;
};

// Which of a key's groups serves the keyboard's effective group `group`: the group itself, or
// for a key with fewer groups (Control has one on `ru,us`) XKB's rule from the key's group info
// (XkbKeyGroupInfo): wrap around, clamp to the last, or redirect. Absent for a key with none.
std::optional<std::size_t> keyGroupFor(unsigned group, unsigned char groupInfo);

// The host code of a key from its first-level symbols, one per group of the key: the symbol of
// group `group` if it has a host code, else the first Latin-1 symbol of the other groups, in the
// keyboard's order, that has one.
std::optional<std::uint16_t> hostCodeOfKey(std::span<const KeySym> symbols, std::size_t group);

}  // namespace orvix::platform::linux_desktop
