#pragma once

#include <map>

#include "platform/input_events.h"

namespace orvix::platform::simulated {

// An event made by the simulated desktop: it keeps whatever the host sets on it, and posting
// hands a copy of its fields to the recorder and to the live event taps.
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

}  // namespace orvix::platform::simulated
