#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "platform/accessibility.h"
#include "platform/linux/desktop/atspi_element.h"

namespace orvix::platform::linux_desktop {

// An accessibility observer of one AT-SPI application, made of AT-SPI events
// (atspi_notifications.h).
//
// libatspi hands events to its listeners wherever the binding dispatches AT-SPI's messages:
// inside any call, on any thread, under the binding's lock. The listener therefore only queues
// what concerns the observed application (or the element a notification was added on), and
// only while the source is on a run loop. A repeating timer on that loop dispatches the
// messages and then calls back on the loop's thread without the lock, so the callback may use
// the accessibility interface; each queued notification is checked again just before, so none
// arrives after its removal, after removeRunLoopSource or after destruction. The queue keeps
// the newest 256: the host takes notifications as wake-up signals, not as a record.
//
// Must not outlive the AtspiAccessibility that made it.
class AtspiObserver final : public AXObserver {
 public:
  // `application` is the application's root. `dispatch` dispatches AT-SPI's queued messages
  // and takes the lock itself.
  AtspiObserver(AtspiLock lock, AtspiRef application, std::function<void()> dispatch,
                AXObserverCallback callback);
  ~AtspiObserver() override;
  AtspiObserver(const AtspiObserver&) = delete;
  AtspiObserver& operator=(const AtspiObserver&) = delete;

  AXError addNotification(const AXElement& element, std::string_view notification,
                          void* context) override;
  AXError removeNotification(const AXElement& element, std::string_view notification) override;
  void addRunLoopSource(RunLoop& loop) override;
  void removeRunLoopSource(RunLoop& loop) override;

 private:
  class Inbox;

  // The path of `element` within the observed application; an error when it is none of its
  // elements.
  AXError pathOf(const AXElement& element, std::string& path) const;
  // Counted registrations of an event type with libatspi, under the lock.
  AXError listen(std::string_view type);
  void stopListening(std::string_view type);

  const AtspiLock lock_;
  const AtspiRef application_;
  const std::shared_ptr<Inbox> inbox_;
  AtspiEventListener* listener_ = nullptr;
  // How many added notifications need each event type; changed under the lock.
  std::map<std::string, int, std::less<>> listening_;
};

}  // namespace orvix::platform::linux_desktop
