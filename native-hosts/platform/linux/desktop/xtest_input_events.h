#pragma once

#include <deque>
#include <mutex>
#include <memory>

#include "platform/input_events.h"
#include "platform/linux/desktop/x11_display.h"

namespace orvix::platform::linux_desktop {

// The marks of the key and button transitions this host injected, oldest first. X events carry
// no user data field, so the event tap hands these marks out, in order, to the transitions it
// sees from the XTest device; an XTest transition with no mark waiting (another XTest client,
// such as xdotool) carries 0, as a user's event does. The queue is bounded: marks of events no
// tap consumed are dropped oldest first, and a new tap starts from an empty queue.
class PostedEventMarks {
 public:
  void injected(std::int64_t mark, int transitions);
  // The mark of the oldest injected transition not yet seen, else 0.
  std::int64_t take();
  void clear();

 private:
  static constexpr std::size_t kMaximumWaiting = 64;
  std::mutex lock_;
  std::deque<std::int64_t> waiting_;
};

// Synthetic input through the XTest extension.
//
// Where the mapping is not one to one (see also key_mapping.h):
// - A key event's modifier flags are pressed before its key goes down and released after it
//   comes up, since XTest injects keys, not flagged events.
// - Both tap locations inject at the server, like a device; there is no session level.
// - X has no click count: mouseEventClickState is kept on the event and not sent; two clicks
//   posted in quick succession are a double click to the application, as on macOS.
// - A scroll of N pixels is one wheel step (button 4 up, 5 down) per started 10 pixels, at most
//   100 steps; a line scroll is one step per line.
// - eventTargetUnixProcessID and the event source's state have no X counterpart.
class XTestInputEvents final : public InputEvents {
 public:
  // Null when the server lacks the XTest extension.
  static std::unique_ptr<XTestInputEvents> create(std::unique_ptr<X11Display> display,
                                                  std::shared_ptr<PostedEventMarks> mark);

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
  XTestInputEvents(std::unique_ptr<X11Display> display, std::shared_ptr<PostedEventMarks> mark)
      : display_(std::move(display)), mark_(std::move(mark)) {}
  ScreenPoint pointer();
  // Nothing when the keyboard map has no key for `symbol`.
  void fakeKey(KeySym symbol, bool down);

  std::unique_ptr<X11Display> display_;
  std::shared_ptr<PostedEventMarks> mark_;
};

}  // namespace orvix::platform::linux_desktop
