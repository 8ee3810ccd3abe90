#include "platform/simulated/desktop/simulated_event_tap.h"

#include <memory>

namespace orvix::platform::simulated {

SimulatedEventTap::SimulatedEventTap(DesktopModel& model, EventMask mask,
                                     EventTapCallback callback)
    : model_(model) {
  DesktopWorld& world = model_.world;
  id_ = world.nextEventTapId++;
  DesktopWorld::EventTapState state;
  state.mask = mask;
  state.deliver = [lifetime = std::weak_ptr<int>(model_.lifetime), model = &model_, id = id_,
                   callback = std::move(callback)](std::uint32_t type, const InputEvent& event) {
    const auto alive = lifetime.lock();
    if (!alive) return;
    {
      std::lock_guard lock(model->mutex);
      if (model->world.eventTaps.count(id) == 0) return;
    }
    callback(type, event);
  };
  world.eventTaps.emplace(id_, std::move(state));
}

SimulatedEventTap::~SimulatedEventTap() { invalidate(); }

void SimulatedEventTap::setEnabled(bool enabled) {
  std::lock_guard lock(model_.mutex);
  const auto it = model_.world.eventTaps.find(id_);
  if (it != model_.world.eventTaps.end()) it->second.enabled = enabled;
}

void SimulatedEventTap::invalidate() {
  std::lock_guard lock(model_.mutex);
  model_.world.eventTaps.erase(id_);
}

void SimulatedEventTap::addRunLoopSource(RunLoop& loop) {
  std::lock_guard lock(model_.mutex);
  const auto it = model_.world.eventTaps.find(id_);
  if (it != model_.world.eventTaps.end()) it->second.loop = &loop;
}

void DesktopWorld::deliverToTaps(const SimulatedInputEvent& event) {
  const auto type = static_cast<std::uint32_t>(event.type());
  for (auto& [id, tap] : eventTaps) {
    if (!tap.enabled || tap.loop == nullptr || type >= 64 ||
        (tap.mask & (EventMask{1} << type)) == 0) {
      continue;
    }
    // Posting only queues the task: the loop never calls back into the world from post().
    tap.loop->post([deliver = tap.deliver, type, copy = event] { deliver(type, copy); });
  }
}

void DesktopWorld::disableTaps(std::uint32_t notice) {
  for (auto& [id, tap] : eventTaps) {
    if (!tap.enabled) continue;
    tap.enabled = false;
    if (tap.loop == nullptr) continue;
    tap.loop->post([deliver = tap.deliver, notice,
                    blank = SimulatedInputEvent(EventType::null, ScreenPoint{})] {
      deliver(notice, blank);
    });
  }
}

}  // namespace orvix::platform::simulated
