#pragma once

#include <memory>
#include <mutex>
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
// - eventSourceUserData: key and button transitions from an XTest device carry the marks the
//   host's posts queued, in order (PostedEventMarks); all others, and pointer motion, carry 0.
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

 private:
  XInputEventTap(std::unique_ptr<X11Display> display, std::shared_ptr<Delivery> delivery,
                 int wake);
  void read();

  std::unique_ptr<X11Display> display_;
  std::shared_ptr<Delivery> delivery_;
  int wake_;  // eventfd that ends the reader
  std::thread reader_;
};

}  // namespace orvix::platform::linux_desktop
