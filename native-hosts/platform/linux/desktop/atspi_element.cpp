#include "platform/linux/desktop/atspi_element.h"

#include <functional>

namespace orvix::platform::linux_desktop {

AtspiRef adoptAtspi(AtspiAccessible* accessible, const AtspiLock& lock) {
  if (accessible == nullptr) return nullptr;
  return AtspiRef(accessible, [lock](AtspiAccessible* object) {
    std::lock_guard guard(*lock);
    g_object_unref(object);
  });
}

std::string_view atspiBusName(const AtspiAccessible& accessible) {
  const AtspiObject& object = accessible.parent;
  return object.app != nullptr && object.app->bus_name != nullptr ? object.app->bus_name : "";
}

std::string_view atspiPath(const AtspiAccessible& accessible) {
  return accessible.parent.path != nullptr ? accessible.parent.path : "";
}

AXElement AtspiElement::systemWide() {
  return AXElement(std::shared_ptr<const AtspiElement>(new AtspiElement(nullptr, {}, {}, 0)));
}

AXElement AtspiElement::of(AtspiRef accessible) {
  // An object is named by its application's bus name and its path.
  std::string bus(atspiBusName(*accessible));
  std::string path(atspiPath(*accessible));
  return AXElement(std::shared_ptr<const AtspiElement>(
      new AtspiElement(std::move(accessible), std::move(bus), std::move(path), 0)));
}

AXElement AtspiElement::missingApplication(ProcessId pid) {
  return AXElement(std::shared_ptr<const AtspiElement>(new AtspiElement(nullptr, {}, {}, pid)));
}

bool AtspiElement::equals(const Object& other) const {
  const auto* element = dynamic_cast<const AtspiElement*>(&other);
  if (element == nullptr) return false;
  if (static_cast<bool>(accessible_) != static_cast<bool>(element->accessible_)) return false;
  if (!accessible_) return pid_ == element->pid_;
  return bus_ == element->bus_ && path_ == element->path_;
}

std::size_t AtspiElement::hash() const {
  if (!accessible_) return std::hash<ProcessId>()(pid_);
  return std::hash<std::string>()(bus_) * 31 + std::hash<std::string>()(path_);
}

}  // namespace orvix::platform::linux_desktop
