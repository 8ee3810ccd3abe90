#include "platform/linux/desktop/atspi_observer.h"

#include <chrono>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "platform/linux/desktop/atspi_error.h"
#include "platform/linux/desktop/atspi_notifications.h"

namespace orvix::platform::linux_desktop {

namespace {

// How often the loop dispatches AT-SPI's messages while the source is on it: the delay of a
// wake-up signal, against a loop that never sleeps longer.
constexpr Duration kDispatchInterval = std::chrono::milliseconds(50);
constexpr std::size_t kMaximumQueued = 256;

}  // namespace

// What the listener, the loop's timer and the observer share. The listener may run on any
// thread and the timer may outlast the observer by one run, so both reach it through their own
// reference; the mutex is never held across a libatspi call, which may dispatch (and so call
// the listener) itself.
class AtspiObserver::Inbox : public std::enable_shared_from_this<Inbox> {
 public:
  Inbox(AtspiLock lock, std::string bus, std::string rootPath, std::function<void()> dispatch,
        AXObserverCallback callback)
      : lock_(std::move(lock)),
        bus_(std::move(bus)),
        rootPath_(std::move(rootPath)),
        dispatch_(std::move(dispatch)),
        callback_(std::move(callback)) {}

  const std::string& bus() const { return bus_; }

  // False when the notification was already added on that element.
  bool add(const std::string& path, std::string_view notification, void* context) {
    std::lock_guard guard(mutex_);
    return registrations_.try_emplace({path, std::string(notification)}, context).second;
  }
  bool remove(const std::string& path, std::string_view notification) {
    std::lock_guard guard(mutex_);
    return registrations_.erase({path, std::string(notification)}) > 0;
  }

  void attach(RunLoop& loop) {
    std::lock_guard guard(mutex_);
    if (loop_ == &loop) return;
    tick_.cancel();
    loop_ = &loop;
    scheduleTick();
  }
  // Off `loop`, or off any loop when null; what was queued is dropped.
  void detach(const RunLoop* loop) {
    std::deque<Pending> dropped;  // released after the mutex: a release takes the binding's lock
    std::lock_guard guard(mutex_);
    if (loop != nullptr && loop_ != loop) return;
    loop_ = nullptr;
    tick_.cancel();
    dropped.swap(queue_);
  }

  // libatspi's listener callback: owns `event`.
  static void heard(AtspiEvent* event, void* inbox) {
    if (event == nullptr) return;
    static_cast<Inbox*>(inbox)->take(*event);
    g_boxed_free(atspi_event_get_type(), event);
  }

 private:
  struct Pending {
    std::string path;
    std::string notification;
    AXElement element;
  };

  // Under the binding's lock, inside a dispatch: reads only what libatspi already holds.
  void take(const AtspiEvent& event) {
    if (event.type == nullptr || event.source == nullptr) return;
    if (atspiBusName(*event.source) != bus_) return;
    AtspiAccessible* child = nullptr;
    if (g_type_check_value_holds(&event.any_data, atspi_accessible_get_type())) {
      child = static_cast<AtspiAccessible*>(g_value_get_object(&event.any_data));
    }
    std::vector<Pending> dropped;  // released after the mutex
    std::lock_guard guard(mutex_);
    if (loop_ == nullptr) return;
    for (const auto& [key, context] : registrations_) {
      const auto& [path, notification] = key;
      for (const AtspiEventMatch& match : atspiEventsFor(notification)) {
        if (!eventTypeMatches(match, event.type)) continue;
        if (match.onlyWhenTurnedOn && event.detail1 != 1) continue;
        AtspiAccessible* subject = match.aboutChild && child != nullptr ? child : event.source;
        if (path != rootPath_ && (atspiPath(*subject) != path || atspiBusName(*subject) != bus_)) {
          continue;
        }
        if (queue_.size() >= kMaximumQueued) {
          dropped.push_back(std::move(queue_.front()));
          queue_.pop_front();
        }
        AtspiRef reference =
            adoptAtspi(static_cast<AtspiAccessible*>(g_object_ref(subject)), lock_);
        queue_.push_back({path, notification, AtspiElement::of(std::move(reference))});
        break;
      }
    }
  }

  // Under the mutex.
  void scheduleTick() {
    tick_ = loop_->scheduleAfter(kDispatchInterval, [inbox = weak_from_this()] {
      if (const auto self = inbox.lock()) self->tick();
    });
  }

  // On the loop's thread.
  void tick() {
    {
      std::lock_guard guard(mutex_);
      if (loop_ == nullptr) return;
      scheduleTick();  // first, so that a callback that runs the loop nested still dispatches
    }
    dispatch_();
    deliver();
  }

  // Calls back for what is queued now; what the callbacks cause waits for the next tick.
  void deliver() {
    std::size_t remaining = 0;
    {
      std::lock_guard guard(mutex_);
      remaining = queue_.size();
    }
    for (; remaining > 0; --remaining) {
      std::optional<Pending> next;
      void* context = nullptr;
      {
        std::lock_guard guard(mutex_);
        if (loop_ == nullptr || queue_.empty()) return;
        next.emplace(std::move(queue_.front()));
        queue_.pop_front();
        const auto found = registrations_.find({next->path, next->notification});
        if (found == registrations_.end()) continue;
        context = found->second;
      }
      callback_(next->element, next->notification, context);
    }
  }

  const AtspiLock lock_;
  const std::string bus_;
  const std::string rootPath_;
  const std::function<void()> dispatch_;
  const AXObserverCallback callback_;

  std::mutex mutex_;
  // (element path, notification) -> context.
  std::map<std::pair<std::string, std::string>, void*> registrations_;
  RunLoop* loop_ = nullptr;
  TimerHandle tick_;
  std::deque<Pending> queue_;
};

AtspiObserver::AtspiObserver(AtspiLock lock, AtspiRef application, std::function<void()> dispatch,
                             AXObserverCallback callback)
    : lock_(std::move(lock)),
      application_(std::move(application)),
      inbox_(std::make_shared<Inbox>(lock_, std::string(atspiBusName(*application_)),
                                     std::string(atspiPath(*application_)), std::move(dispatch),
                                     std::move(callback))) {
  std::lock_guard guard(*lock_);
  listener_ = atspi_event_listener_new(&Inbox::heard, inbox_.get(), nullptr);
}

AtspiObserver::~AtspiObserver() {
  inbox_->detach(nullptr);
  std::lock_guard guard(*lock_);
  for (const auto& [type, users] : listening_) {
    GError* error = nullptr;
    atspi_event_listener_deregister(listener_, type.c_str(), &error);
    consume(error);
  }
  if (listener_ != nullptr) g_object_unref(listener_);
}

AXError AtspiObserver::pathOf(const AXElement& element, std::string& path) const {
  const auto* target = dynamic_cast<const AtspiElement*>(&element.object());
  if (target == nullptr || target->isSystemWide()) return AXError::illegalArgument;
  if (target->accessible() == nullptr || target->bus() != inbox_->bus()) {
    return AXError::invalidUIElement;
  }
  path = target->path();
  return AXError::success;
}

AXError AtspiObserver::listen(std::string_view type) {
  const auto [entry, first] = listening_.try_emplace(std::string(type), 0);
  if (!first) {
    ++entry->second;
    return AXError::success;
  }
  // Only the observed application's events travel to this process.
  GError* error = nullptr;
  const bool listening = atspi_event_listener_register_with_app(
      listener_, entry->first.c_str(), nullptr, application_.get(), &error);
  const AXError failure = consume(error, listening);
  if (failure != AXError::success) {
    listening_.erase(entry);
    return failure;
  }
  entry->second = 1;
  return AXError::success;
}

void AtspiObserver::stopListening(std::string_view type) {
  const auto entry = listening_.find(type);
  if (entry == listening_.end() || --entry->second > 0) return;
  GError* error = nullptr;
  atspi_event_listener_deregister(listener_, entry->first.c_str(), &error);
  consume(error);
  listening_.erase(entry);
}

AXError AtspiObserver::addNotification(const AXElement& element, std::string_view notification,
                                       void* context) {
  std::string path;
  if (const AXError failure = pathOf(element, path); failure != AXError::success) return failure;
  const auto events = atspiEventsFor(notification);
  if (events.empty()) return AXError::notificationUnsupported;
  std::lock_guard guard(*lock_);
  if (!inbox_->add(path, notification, context)) return AXError::notificationAlreadyRegistered;
  for (std::size_t i = 0; i < events.size(); ++i) {
    const AXError failure = listen(events[i].registeredType);
    if (failure == AXError::success) continue;
    for (std::size_t j = 0; j < i; ++j) stopListening(events[j].registeredType);
    inbox_->remove(path, notification);
    return failure;
  }
  return AXError::success;
}

AXError AtspiObserver::removeNotification(const AXElement& element, std::string_view notification) {
  std::string path;
  if (const AXError failure = pathOf(element, path); failure != AXError::success) return failure;
  std::lock_guard guard(*lock_);
  if (!inbox_->remove(path, notification)) return AXError::notificationNotRegistered;
  for (const AtspiEventMatch& match : atspiEventsFor(notification)) {
    stopListening(match.registeredType);
  }
  return AXError::success;
}

void AtspiObserver::addRunLoopSource(RunLoop& loop) { inbox_->attach(loop); }

void AtspiObserver::removeRunLoopSource(RunLoop& loop) { inbox_->detach(&loop); }

}  // namespace orvix::platform::linux_desktop
