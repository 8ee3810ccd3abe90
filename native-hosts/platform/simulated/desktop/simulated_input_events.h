#pragma once

#include <map>

#include "platform/input_events.h"
#include "platform/simulated/desktop/desktop_world.h"

namespace orvix::platform::simulated {

// An event made by the simulated desktop: it keeps whatever the host sets on it, and posting
// hands a copy of its fields to the recorder.
class SimulatedInputEvent final : public InputEvent {
 public:
  SimulatedInputEvent(EventType type, ScreenPoint location) : type_(type), location_(location) {}

  EventType type() const override { return type_; }
  EventFlags flags() const override { return flags_; }
  void setFlags(EventFlags flags) override { flags_ = flags; }
  std::int64_t integerField(EventField field) const override;
  void setIntegerField(EventField field, std::int64_t value) override;
  ScreenPoint location() const override { return location_; }

  std::int32_t scrollDelta() const { return scrollDelta_; }
  void setScrollDelta(std::int32_t delta) { scrollDelta_ = delta; }

 private:
  EventType type_;
  ScreenPoint location_;
  EventFlags flags_ = 0;
  std::int32_t scrollDelta_ = 0;
  std::map<EventField, std::int64_t> fields_;
};

// Synthetic events over the simulated desktop. Creation can be made to fail (no window server,
// no permission); every post is recorded. Command+V at a key-down pastes into the focused
// element (now, or after the element's latency on the simulator's queue); Return acts on the
// focused element as it was told to (a composer submits); a mouse event moves the pointer to
// its location, and a left button down focuses the text element under it; every other key is
// only recorded.
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

 private:
  // Under the lock: counts the creation and answers whether it may succeed.
  bool mayCreate();

  DesktopModel& model_;
};

}  // namespace orvix::platform::simulated
