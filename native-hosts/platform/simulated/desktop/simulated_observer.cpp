#include "platform/simulated/desktop/simulated_observer.h"

#include <array>

#include "platform/simulated/desktop/element_handle.h"

namespace orvix::platform::simulated {

namespace {

// The notifications the simulated applications post.
constexpr std::array<std::string_view, 7> kPostedNotifications{
    "AXWindowCreated",  "AXFocusedWindowChanged", "AXFocusedUIElementChanged",
    "AXLayoutChanged",  "AXCreated",              "AXValueChanged",
    "AXUIElementDestroyed"};

bool posted(std::string_view notification) {
  for (const auto name : kPostedNotifications) {
    if (name == notification) return true;
  }
  return false;
}

}  // namespace

SimulatedObserver::SimulatedObserver(DesktopModel& model, ProcessId pid,
                                     AXObserverCallback callback)
    : model_(model), pid_(pid) {
  // Called with the mutex held by Accessibility::createObserver.
  DesktopWorld& desktopWorld = model_.world;
  id_ = desktopWorld.nextObserverId++;
  DesktopWorld::ObserverState state;
  state.pid = pid;
  state.deliver = [lifetime = std::weak_ptr<int>(model_.lifetime), model = &model_, id = id_,
                   pid, callback = std::move(callback)](ElementId element,
                                                        const std::string& notification) {
    const auto alive = lifetime.lock();
    if (!alive) return;
    void* context = nullptr;
    ElementId about = element;
    {
      std::lock_guard lock(model->mutex);
      DesktopWorld& world = model->world;
      const auto it = world.observers.find(id);
      if (it == world.observers.end() || it->second.loop == nullptr) return;
      bool wanted = false;
      for (const auto& [key, registeredContext] : it->second.registrations) {
        if (key.second == notification) {
          wanted = true;
          context = registeredContext;
          break;
        }
      }
      if (!wanted) return;
      if (about == kNoElement) {
        if (const ApplicationState* app = world.application(pid)) about = app->element;
      }
      ++world.counters.notificationsDelivered;
    }
    callback(ElementHandle::make(model, ElementHandle::Kind::element, about), notification,
             context);
  };
  desktopWorld.observers.emplace(id_, std::move(state));
}

SimulatedObserver::~SimulatedObserver() {
  std::lock_guard lock(model_.mutex);
  model_.world.observers.erase(id_);
}

ElementId SimulatedObserver::ownElement(const AXElement& element) {
  const auto* handle = dynamic_cast<const ElementHandle*>(&element.object());
  if (handle == nullptr || handle->desktop() != &model_ ||
      handle->kind() != ElementHandle::Kind::element) {
    return kNoElement;
  }
  const ElementState* state = model_.world.element(handle->number());
  if (state == nullptr || state->pid != pid_ || !model_.world.elementAlive(*state)) {
    return kNoElement;
  }
  return state->id;
}

AXError SimulatedObserver::addNotification(const AXElement& element,
                                           std::string_view notification, void* context) {
  std::lock_guard lock(model_.mutex);
  const ElementId id = ownElement(element);
  if (id == kNoElement) return AXError::invalidUIElement;
  if (!posted(notification)) return AXError::notificationUnsupported;
  auto& registrations = model_.world.observers.at(id_).registrations;
  if (!registrations.emplace(std::pair{id, std::string(notification)}, context).second) {
    return AXError::notificationAlreadyRegistered;
  }
  return AXError::success;
}

AXError SimulatedObserver::removeNotification(const AXElement& element,
                                              std::string_view notification) {
  std::lock_guard lock(model_.mutex);
  const ElementId id = ownElement(element);
  if (id == kNoElement) return AXError::invalidUIElement;
  auto& registrations = model_.world.observers.at(id_).registrations;
  if (registrations.erase(std::pair{id, std::string(notification)}) == 0) {
    return AXError::notificationNotRegistered;
  }
  return AXError::success;
}

void SimulatedObserver::addRunLoopSource(RunLoop& loop) {
  std::lock_guard lock(model_.mutex);
  model_.world.observers.at(id_).loop = &loop;
}

void SimulatedObserver::removeRunLoopSource(RunLoop& loop) {
  std::lock_guard lock(model_.mutex);
  auto& state = model_.world.observers.at(id_);
  if (state.loop == &loop) state.loop = nullptr;
}

}  // namespace orvix::platform::simulated
