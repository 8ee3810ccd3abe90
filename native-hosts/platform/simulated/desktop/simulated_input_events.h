#pragma once

#include "platform/input_events.h"
#include "platform/simulated/desktop/desktop_world.h"

namespace orvix::platform::simulated {

// Synthetic events over the simulated desktop. Creation can be made to fail (no window server,
// no permission); every post is recorded. Command+V at a key-down pastes into the focused
// element (now, or after the element's latency on the simulator's queue); Return acts on the
// focused element as it was told to (a composer submits); a mouse event moves the pointer to
// its location, and a left button down focuses the text element under it; every other key is
// only recorded. Every posted event also reaches the live taps, with the host's marks.
class SimulatedInputEvents final : public InputEvents {
 public:
  explicit SimulatedInputEvents(DesktopModel& model) : model_(model) {}

  std::unique_ptr<InputEventSource> createSource(EventSourceState state) override;
  std::unique_ptr<InputEvent> createEvent(const InputEventSource* source) override;
  std::unique_ptr<InputEvent> createKeyboardEvent(const InputEventSource* source,
                                                  std::uint16_t keyCode, bool keyDown) override;
  std::unique_ptr<InputEvent> createMouseEvent(const InputEventSource* source, EventType type,
                                               ScreenPoint location, MouseButton button) override;
  std::unique_ptr<InputEvent> createScrollWheelEvent(const InputEventSource* source,
                                                     ScrollUnit unit, std::int32_t wheel1) override;
  void post(EventTapLocation tap, const InputEvent& event) override;
  // Refused while the process is not trusted or the world refuses taps.
  std::shared_ptr<EventTap> createListenOnlySessionTap(EventMask mask,
                                                       EventTapCallback callback) override;

 private:
  // Under the lock: counts the creation and answers whether it may succeed.
  bool mayCreate();

  DesktopModel& model_;
};

}  // namespace orvix::platform::simulated
