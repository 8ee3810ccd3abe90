#pragma once

#include <atspi/atspi.h>

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/accessibility.h"

namespace orvix::platform::linux_desktop {

// The lock every libatspi call holds. Recursive: releasing the last handle of an element while
// the lock is held (a temporary inside a call) takes it once more.
using AtspiLock = std::shared_ptr<std::recursive_mutex>;

// A counted reference to a libatspi object, released under the lock.
using AtspiRef = std::shared_ptr<AtspiAccessible>;
AtspiRef adoptAtspi(AtspiAccessible* accessible, const AtspiLock& lock);

// The bus name of the object's application and the object's path, as libatspi keeps them: no
// D-Bus call, so both may be read inside an event listener. Empty when libatspi has none.
std::string_view atspiBusName(const AtspiAccessible& accessible);
std::string_view atspiPath(const AtspiAccessible& accessible);

// What an AXElement of this binding holds: the system-wide element, an accessible object, or
// the application of a pid that has none on the accessibility bus.
class AtspiElement final : public AXElement::Object {
 public:
  static AXElement systemWide();
  static AXElement of(AtspiRef accessible);
  static AXElement missingApplication(ProcessId pid);

  bool equals(const Object& other) const override;
  std::size_t hash() const override;

  bool isSystemWide() const { return !accessible_ && pid_ == 0; }
  AtspiAccessible* accessible() const { return accessible_.get(); }
  const AtspiRef& reference() const { return accessible_; }
  // The application's bus name and the object's path; empty for the system-wide element and a
  // missing application.
  const std::string& bus() const { return bus_; }
  const std::string& path() const { return path_; }

 private:
  AtspiElement(AtspiRef accessible, std::string bus, std::string path, ProcessId pid)
      : accessible_(std::move(accessible)), bus_(std::move(bus)), path_(std::move(path)), pid_(pid) {}
  AtspiRef accessible_;
  std::string bus_;
  std::string path_;
  ProcessId pid_;
};

}  // namespace orvix::platform::linux_desktop
