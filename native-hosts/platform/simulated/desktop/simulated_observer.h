#pragma once

#include <cstdint>

#include "platform/accessibility.h"
#include "platform/simulated/desktop/desktop_world.h"

namespace orvix::platform::simulated {

// An accessibility observer of one simulated application. The application's notifications are
// queued on the loop its source is added to and delivered when that loop runs, each checked
// again at delivery: a notification removed, a source taken off the loop or an observer
// destroyed in between is not delivered, as on macOS.
class SimulatedObserver final : public AXObserver {
 public:
  SimulatedObserver(DesktopModel& model, ProcessId pid, AXObserverCallback callback);
  ~SimulatedObserver() override;

  AXError addNotification(const AXElement& element, std::string_view notification,
                          void* context) override;
  AXError removeNotification(const AXElement& element, std::string_view notification) override;
  void addRunLoopSource(RunLoop& loop) override;
  void removeRunLoopSource(RunLoop& loop) override;

 private:
  // The registered element `element` names, under the lock; kNoElement when it is not one of
  // this application's live elements.
  ElementId ownElement(const AXElement& element);

  DesktopModel& model_;
  const ProcessId pid_;
  std::uint64_t id_ = 0;
};

}  // namespace orvix::platform::simulated
