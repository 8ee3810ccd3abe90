#pragma once

#include <cstdint>

#include "platform/input_events.h"
#include "platform/simulated/desktop/desktop_world.h"

namespace orvix::platform::simulated {

// A listen-only tap on the simulated desktop. Its entry in the world lives from creation to
// invalidate() or destruction; events reach the callback only on the loop its source was added
// to, only while it is enabled when they are posted and still live when they arrive.
class SimulatedEventTap final : public EventTap {
 public:
  // Called with the model's mutex held.
  SimulatedEventTap(DesktopModel& model, EventMask mask, EventTapCallback callback);
  ~SimulatedEventTap() override;

  void setEnabled(bool enabled) override;
  void invalidate() override;
  void addRunLoopSource(RunLoop& loop) override;

 private:
  DesktopModel& model_;
  std::uint64_t id_ = 0;
};

}  // namespace orvix::platform::simulated
