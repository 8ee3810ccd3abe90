#pragma once

#include <atomic>
#include <memory>

#include "platform/input_events.h"
#include "platform/linux/desktop/x11_display.h"

namespace orvix::platform::linux_desktop {

// The mark of the host's most recent posted event. X events carry no user data field, so the
// event tap gives this mark to every event whose source is the XTest device: those are the
// events this host (or another XTest client, which the host cannot tell apart) injected.
struct PostedEventMark {
  std::atomic<std::int64_t> value{0};
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
                                                  std::shared_ptr<PostedEventMark> mark);

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
  XTestInputEvents(std::unique_ptr<X11Display> display, std::shared_ptr<PostedEventMark> mark)
      : display_(std::move(display)), mark_(std::move(mark)) {}
  ScreenPoint pointer();
  void pressModifiers(EventFlags flags, bool down);
  void fakeKey(KeySym symbol, bool down);

  std::unique_ptr<X11Display> display_;
  std::shared_ptr<PostedEventMark> mark_;
};

}  // namespace orvix::platform::linux_desktop
