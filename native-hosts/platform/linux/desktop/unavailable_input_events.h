#pragma once

#include "platform/input_events.h"

namespace orvix::platform::linux_desktop {

// No synthetic-event binding on this machine: every event "cannot be created", so the host
// reports its keystrokes and clicks as unavailable instead of pretending they were sent.
class UnavailableInputEvents final : public InputEvents {
 public:
  std::unique_ptr<InputEventSource> createSource(EventSourceState) override { return nullptr; }
  std::unique_ptr<InputEvent> createEvent(const InputEventSource*) override { return nullptr; }
  std::unique_ptr<InputEvent> createKeyboardEvent(const InputEventSource*, std::uint16_t,
                                                  bool) override {
    return nullptr;
  }
  std::unique_ptr<InputEvent> createMouseEvent(const InputEventSource*, EventType, ScreenPoint,
                                               MouseButton) override {
    return nullptr;
  }
  std::unique_ptr<InputEvent> createScrollWheelEvent(const InputEventSource*, ScrollUnit,
                                                     std::int32_t) override {
    return nullptr;
  }
  // Nothing can be created here, so nothing reaches this; posting a foreign event is dropped.
  void post(EventTapLocation, const InputEvent&) override {}
  // No window server to watch: quick-add stays configured and observes nothing.
  std::shared_ptr<EventTap> createListenOnlySessionTap(EventMask, EventTapCallback) override {
    return nullptr;
  }
};

}  // namespace orvix::platform::linux_desktop
