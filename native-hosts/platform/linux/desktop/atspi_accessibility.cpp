#include "platform/linux/desktop/atspi_accessibility.h"

#include <dbus/dbus.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

#include "common/text_length.h"
#include "common/utf8_repair.h"
#include "platform/linux/desktop/atspi_element.h"
#include "platform/linux/desktop/atspi_error.h"
#include "platform/linux/desktop/atspi_observer.h"
#include "platform/linux/desktop/atspi_roles.h"
#include "platform/linux/desktop/text_offsets.h"

namespace orvix::platform::linux_desktop {

namespace {

constexpr int kDefaultTimeoutMs = 800;
constexpr int kStartupTimeMs = 15000;
constexpr int kBusProbeTimeoutMs = 1000;
constexpr int kMaximumFocusWalk = 4096;
constexpr int kMaximumChildren = 4096;
constexpr int kMaximumAncestors = 64;
constexpr int kMaximumApplications = 1024;
constexpr int kMaximumDispatches = 1024;
constexpr gint kMaximumCharacters = 1 << 20;
constexpr std::size_t kMaximumElementTimeouts = 256;
constexpr int kDispatchPauseMs = 5;
constexpr std::size_t kMaximumKnownBuses = 1024;
constexpr std::chrono::seconds kFramelessRetry{1};

struct OwnedString {
  gchar* value = nullptr;
  ~OwnedString() { g_free(value); }
};

// What a bus said, bounded and made printable: it ends up in the host's diagnostics.
std::string busMessage(const DBusError& error) {
  constexpr std::size_t kMaximumMessage = 200;
  if (!dbus_error_is_set(&error) || error.message == nullptr) return "no reply";
  return repairUtf8(std::string_view(error.message).substr(0, kMaximumMessage));
}

// Why the session bus has no accessibility bus to hand out; nothing when it has one.
std::optional<std::string> accessibilityBusMissing() {
  // Without a session bus named, libdbus would try to autolaunch one on the X display: a
  // process that lends the host its desktop must not start daemons behind its back.
  const char* session = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if ((session == nullptr || *session == '\0') &&
      (runtime == nullptr || ::access((std::string(runtime) + "/bus").c_str(), F_OK) != 0)) {
    return "no session bus: DBUS_SESSION_BUS_ADDRESS is unset and XDG_RUNTIME_DIR has no bus";
  }
  DBusError error;
  dbus_error_init(&error);
  DBusConnection* bus = dbus_bus_get_private(DBUS_BUS_SESSION, &error);
  if (bus == nullptr) {
    std::string reason = "the session bus refused a connection: " + busMessage(error);
    dbus_error_free(&error);
    return reason;
  }
  dbus_connection_set_exit_on_disconnect(bus, FALSE);
  DBusMessage* call = dbus_message_new_method_call("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus",
                                                   "GetAddress");
  DBusMessage* reply =
      call ? dbus_connection_send_with_reply_and_block(bus, call, kBusProbeTimeoutMs, &error) : nullptr;
  std::optional<std::string> reason;
  if (reply == nullptr) {
    reason = "accessibility is off: the session bus has no accessibility bus (org.a11y.Bus: " +
             busMessage(error) + ")";
  }
  if (reply) dbus_message_unref(reply);
  if (call) dbus_message_unref(call);
  dbus_error_free(&error);
  dbus_connection_close(bus);
  dbus_connection_unref(bus);
  return reason;
}

// The desktop-wide accessibility switch, org.a11y.Status.IsEnabled on the session bus: Qt,
// Chromium and Electron register their accessibility trees only while it is on, and turn them on
// when it changes. Absent when the bus does not answer.
constexpr const char* kStatusInterface = "org.a11y.Status";

std::optional<bool> accessibilitySwitch(std::optional<bool> turnOn) {
  DBusError error;
  dbus_error_init(&error);
  DBusConnection* bus = dbus_bus_get_private(DBUS_BUS_SESSION, &error);
  dbus_error_free(&error);
  if (bus == nullptr) return std::nullopt;
  dbus_connection_set_exit_on_disconnect(bus, FALSE);
  const char* property = "IsEnabled";
  DBusMessage* call = dbus_message_new_method_call("org.a11y.Bus", "/org/a11y/bus",
                                                   "org.freedesktop.DBus.Properties",
                                                   turnOn ? "Set" : "Get");
  std::optional<bool> result;
  if (call != nullptr) {
    DBusMessageIter arguments;
    dbus_message_iter_init_append(call, &arguments);
    dbus_message_iter_append_basic(&arguments, DBUS_TYPE_STRING, &kStatusInterface);
    dbus_message_iter_append_basic(&arguments, DBUS_TYPE_STRING, &property);
    if (turnOn) {
      DBusMessageIter variant;
      const dbus_bool_t value = *turnOn ? TRUE : FALSE;
      dbus_message_iter_open_container(&arguments, DBUS_TYPE_VARIANT, "b", &variant);
      dbus_message_iter_append_basic(&variant, DBUS_TYPE_BOOLEAN, &value);
      dbus_message_iter_close_container(&arguments, &variant);
    }
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, call, kBusProbeTimeoutMs, &error);
    if (reply != nullptr && turnOn) {
      result = *turnOn;
    } else if (reply != nullptr) {
      DBusMessageIter values, variant;
      if (dbus_message_iter_init(reply, &values) &&
          dbus_message_iter_get_arg_type(&values) == DBUS_TYPE_VARIANT) {
        dbus_message_iter_recurse(&values, &variant);
        if (dbus_message_iter_get_arg_type(&variant) == DBUS_TYPE_BOOLEAN) {
          dbus_bool_t value = FALSE;
          dbus_message_iter_get_basic(&variant, &value);
          result = value != FALSE;
        }
      }
    }
    if (reply) dbus_message_unref(reply);
    dbus_message_unref(call);
  }
  dbus_error_free(&error);
  dbus_connection_close(bus);
  dbus_connection_unref(bus);
  return result;
}

// An attribute that names an element: noValue when there is none.
AXAttributeResult elementResult(AtspiRef accessible) {
  if (!accessible) return {AXError::noValue, {}};
  return {AXError::success, AtspiElement::of(std::move(accessible))};
}

}  // namespace

class AtspiAccessibility::Implementation {
 public:
  Implementation(std::unique_ptr<X11Display> display, RaiseWindow raise)
      : display_(std::move(display)), raise_(std::move(raise)) {}
  ~Implementation() {
    if (focusListener_ != nullptr) {
      std::lock_guard guard(*lock);
      GError* error = nullptr;
      atspi_event_listener_deregister(focusListener_, "object:state-changed:focused", &error);
      consume(error);
      g_object_unref(focusListener_);
      lastFocused_.clear();
    }
    if (!dispatcher_.joinable()) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(stopDispatcher_, &one, sizeof(one));
    dispatcher_.join();
    ::close(stopDispatcher_);
  }
  Implementation(const Implementation&) = delete;
  Implementation& operator=(const Implementation&) = delete;

  AtspiLock lock = std::make_shared<std::recursive_mutex>();
  std::string untrustedReason;  // why the last start failed; under the lock

  // Under the lock. Starts libatspi once the accessibility bus answers. libatspi keeps states
  // and children cached and up to date from the applications' change signals, which it reads
  // only when its connection is dispatched: each call dispatches what has arrived first.
  // (Turning the cache off is no way out: libatspi's own signal handlers then make nested
  // calls from inside a dispatch, which deadlocks the connection.)
  bool ready() {
    if (started_) {
      drain();
      return true;
    }
    if (auto missing = accessibilityBusMissing()) {
      untrustedReason = std::move(*missing);
      return false;
    }
    if (atspi_init() < 0) {
      untrustedReason = "libatspi could not join the accessibility bus";
      return false;
    }
    untrustedReason.clear();
    atspi_set_timeout(kDefaultTimeoutMs, kStartupTimeMs);
    appliedTimeoutMs_ = kDefaultTimeoutMs;
    started_ = true;
    listenForFocus();
    startDispatcher();
    return true;
  }

  // Under the lock. Finding the focus by walking a window's tree costs a bus round trip per
  // element (libatspi caches no children of GTK's or Qt's trees); the applications announce
  // every focus change anyway, and the element last announced is checked instead.
  void listenForFocus() {
    focusListener_ = atspi_event_listener_new(&Implementation::heardFocus, this, nullptr);
    GError* error = nullptr;
    if (!atspi_event_listener_register(focusListener_, "object:state-changed:focused", &error)) {
      consume(error);
      g_object_unref(focusListener_);
      focusListener_ = nullptr;
    }
    consume(error);
  }

  // Inside a dispatch, under the lock: reads only what libatspi already holds.
  static void heardFocus(AtspiEvent* event, void* self) {
    if (event == nullptr) return;
    auto& implementation = *static_cast<Implementation*>(self);
    if (event->source != nullptr && event->detail1 == 1) {
      std::string bus(atspiBusName(*event->source));
      if (!bus.empty()) {
        if (implementation.lastFocused_.size() >= kMaximumKnownBuses) implementation.lastFocused_.clear();
        implementation.lastFocused_[std::move(bus)] =
            implementation.ref(static_cast<AtspiAccessible*>(g_object_ref(event->source)));
      }
    }
    g_boxed_free(atspi_event_get_type(), event);
  }

  // Under the lock: everything that has arrived, bounded so that a flood cannot hold a call.
  void drain() {
    for (int i = 0; i < kMaximumDispatches && g_main_context_iteration(nullptr, FALSE); ++i) {
    }
  }

  // Under the lock. The applications' change signals also arrive while the host makes no call
  // (an idle minute, a long paste): left unread they pile up in the bus daemon, which drops
  // them past its limit, and a lost "focused off" leaves libatspi's cache with two focused
  // elements for good. A thread of its own reads them as they come, under the same lock.
  void startDispatcher() {
    DBusConnection* bus = atspi_get_a11y_bus();
    int fd = -1;
    if (bus == nullptr || !dbus_connection_get_unix_fd(bus, &fd)) return;
    stopDispatcher_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopDispatcher_ < 0) return;
    dispatcher_ = std::thread([this, fd] {
      for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stopDispatcher_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
        if (fds[1].revents != 0 || (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return;
        if (fds[0].revents == 0) continue;
        {
          std::lock_guard guard(*lock);
          drain();
        }
        // A descriptor that stays readable (a message libdbus holds back) must not spin.
        ::poll(&fds[1], 1, kDispatchPauseMs);
        if (fds[1].revents != 0) return;
      }
    });
  }

  AtspiRef ref(AtspiAccessible* accessible) { return adoptAtspi(accessible, lock); }

  // AXManualAccessibility, the switch Chromium and Electron offer on macOS, is the desktop-wide
  // switch here; it can be read and set on any application's element, even one of an
  // application that is not yet on the accessibility bus (it registers once the switch is on).
  bool isAccessibilitySwitch(const AtspiElement& element, std::string_view attribute) {
    if (attribute != "AXManualAccessibility" || element.isSystemWide()) return false;
    if (element.accessible() == nullptr) return true;
    AXError failure = AXError::success;
    return role(element.accessible(), failure) == ATSPI_ROLE_APPLICATION;
  }

  // Under the lock. A messaging timeout set on an element applies to the calls made on that
  // element; one set on the system-wide element to calls on every other. libatspi has one
  // timeout for the whole process, so it is set around each call and put back after.
  void setTimeout(const AtspiElement& element, int milliseconds) {
    if (element.isSystemWide()) {
      defaultTimeoutMs_ = milliseconds;
      return;
    }
    const std::string key = element.bus() + '\n' + element.path();
    if (elementTimeouts_.emplace(key, milliseconds).second) {
      timeoutOrder_.push_back(key);
      // Callers set a timeout right before the calls it is for: the oldest are long unused.
      if (timeoutOrder_.size() > kMaximumElementTimeouts) {
        elementTimeouts_.erase(timeoutOrder_.front());
        timeoutOrder_.pop_front();
      }
    } else {
      elementTimeouts_[key] = milliseconds;
    }
  }

  int timeoutFor(const AtspiElement& element) const {
    if (element.isSystemWide() || elementTimeouts_.empty()) return defaultTimeoutMs_;
    const auto found = elementTimeouts_.find(element.bus() + '\n' + element.path());
    return found == elementTimeouts_.end() ? defaultTimeoutMs_ : found->second;
  }

  // The timeout of one element for the length of a call on it.
  class CallTimeout {
   public:
    CallTimeout(Implementation& owner, const AtspiElement& element) : owner_(owner) {
      apply(owner_.timeoutFor(element));
    }
    ~CallTimeout() { apply(owner_.defaultTimeoutMs_); }
    CallTimeout(const CallTimeout&) = delete;
    CallTimeout& operator=(const CallTimeout&) = delete;

   private:
    void apply(int milliseconds) {
      if (owner_.appliedTimeoutMs_ == milliseconds) return;
      // libatspi gives an application that started moments ago a longer grace; a timeout a
      // caller chose is a bound on the call, so only the default keeps that grace.
      atspi_set_timeout(milliseconds,
                        milliseconds == kDefaultTimeoutMs ? kStartupTimeMs : milliseconds);
      owner_.appliedTimeoutMs_ = milliseconds;
    }
    Implementation& owner_;
  };

  // Dispatches what has arrived from the applications (their events among it).
  void dispatch() {
    std::lock_guard guard(*lock);
    ready();
  }

  AtspiRef child(AtspiAccessible* parent, gint index) {
    GError* error = nullptr;
    AtspiRef found = ref(atspi_accessible_get_child_at_index(parent, index, &error));
    consume(error);
    return found;
  }

  gint childCount(AtspiAccessible* accessible, AXError* failure = nullptr) {
    GError* error = nullptr;
    const gint count = atspi_accessible_get_child_count(accessible, &error);
    AXError result = consume(error);
    // libatspi answers -1 without an error when the application did not answer in time.
    if (result == AXError::success && count < 0) result = AXError::cannotComplete;
    if (failure != nullptr) *failure = result;
    if (result != AXError::success || count < 0) return 0;
    return std::min(count, kMaximumChildren);
  }

  // An element's states, read once. libatspi hands back a set holding only "defunct" when the
  // application did not answer.
  class States {
   public:
    explicit States(AtspiAccessible* accessible) : set_(atspi_accessible_get_state_set(accessible)) {}
    ~States() {
      if (set_ != nullptr) g_object_unref(set_);
    }
    States(const States&) = delete;
    States& operator=(const States&) = delete;
    bool answered() const { return set_ != nullptr && !atspi_state_set_contains(set_, ATSPI_STATE_DEFUNCT); }
    bool has(AtspiStateType state) const { return answered() && atspi_state_set_contains(set_, state); }

   private:
    AtspiStateSet* set_;
  };

  // Whether the element holds every state of `wanted`; none when its application did not answer.
  std::optional<bool> holdsStates(AtspiAccessible* accessible, std::initializer_list<AtspiStateType> wanted) {
    const States states(accessible);
    if (!states.answered()) return std::nullopt;
    bool has = true;
    for (const AtspiStateType state : wanted) has = has && states.has(state);
    return has;
  }

  bool hasState(AtspiAccessible* accessible, AtspiStateType state) { return States(accessible).has(state); }

  // An element's role, asked of its application once: every attribute read needs it, and
  // libatspi, with no main loop of its own running, asks again each time.
  std::optional<AtspiRole> role(AtspiAccessible* accessible, AXError& failure) {
    failure = AXError::success;
    if (const gpointer known = g_object_get_qdata(G_OBJECT(accessible), roleQuark())) {
      return static_cast<AtspiRole>(GPOINTER_TO_INT(known) - 1);
    }
    GError* error = nullptr;
    const AtspiRole role = atspi_accessible_get_role(accessible, &error);
    failure = consume(error);
    if (failure != AXError::success) return std::nullopt;
    g_object_set_qdata(G_OBJECT(accessible), roleQuark(), GINT_TO_POINTER(static_cast<gint>(role) + 1));
    return role;
  }

  static GQuark roleQuark() {
    static const GQuark quark = g_quark_from_static_string("orvix-atspi-role");
    return quark;
  }

  static GQuark windowQuark() {
    static const GQuark quark = g_quark_from_static_string("orvix-atspi-window");
    return quark;
  }

  std::optional<ProcessId> activePid() {
    if (!display_) return std::nullopt;
    std::lock_guard guard(display_->lock());
    return display_->activePid();
  }

  // The applications by process. A process found before is taken from memory with no round
  // trip; the registry's list is read again when the process is not in it and that list has
  // changed in length, or when an application taken from memory shows no focus (it may have
  // registered anew: see `reregistered`).
  AtspiRef applicationOf(ProcessId pid) {
    if (const auto known = applications_.find(pid); known != applications_.end()) return known->second;
    listApplications(/*onlyIfChanged=*/true);
    if (const auto found = applications_.find(pid); found != applications_.end()) return found->second;
    return applicationByActiveFrame(pid);
  }

  // Under the lock. A sandboxed application (Flatpak) joins the accessibility bus through a
  // proxy, whose process the bus names, and its own process is not the one the X server
  // knows: no application carries the window's process. When that window is the active one,
  // its application is the one whose active frame bears the window's title, if exactly one
  // does; it is then known by the window's process from there on. A process found in no
  // frame is not looked for again until the list changes or a second has passed, as each look
  // asks every application for its windows.
  AtspiRef applicationByActiveFrame(ProcessId pid) {
    const auto now = std::chrono::steady_clock::now();
    if (const auto missed = framelessSince_.find(pid);
        missed != framelessSince_.end() && now - missed->second < kFramelessRetry) {
      return nullptr;
    }
    const auto title = activeWindowTitleOf(pid);
    if (!title) return nullptr;
    AtspiRef match;
    int matches = 0;
    for (const auto& [owner, application] : applications_) {
      AtspiRef frame = activeWindowOf(application.get());
      if (!frame || nameOf(frame.get()) != *title) continue;
      if (match.get() != application.get()) ++matches;
      match = application;
    }
    if (matches != 1) {
      if (framelessSince_.size() >= kMaximumKnownBuses) framelessSince_.clear();
      framelessSince_[pid] = now;
      return nullptr;
    }
    framelessSince_.erase(pid);
    busProcesses_[std::string(atspiBusName(*match))] = pid;
    applications_.emplace(pid, match);
    return match;
  }

  // The title of the X active window when it is `pid`'s.
  std::optional<std::string> activeWindowTitleOf(ProcessId pid) {
    if (!display_) return std::nullopt;
    std::lock_guard guard(display_->lock());
    const auto window = display_->activeWindow();
    if (!window || display_->windowPid(*window) != pid) return std::nullopt;
    return display_->windowTitle(*window);
  }

  std::string nameOf(AtspiAccessible* accessible) {
    GError* error = nullptr;
    OwnedString name{atspi_accessible_get_name(accessible, &error)};
    if (consume(error) != AXError::success || name.value == nullptr) return {};
    return name.value;
  }

  // False when the list was not read (the desktop is unreachable, or unchanged and so skipped).
  bool listApplications(bool onlyIfChanged) {
    AtspiRef desktop = ref(atspi_get_desktop(0));
    if (!desktop) return false;
    const gint count = std::min(childCount(desktop.get()), kMaximumApplications);
    if (onlyIfChanged && count == applicationsCounted_) return false;
    applications_.clear();
    framelessSince_.clear();
    applicationsCounted_ = count;
    for (gint i = 0; i < count; ++i) {
      AtspiRef application = child(desktop.get(), i);
      if (!application) continue;
      if (const auto owner = processOf(*application)) applications_.try_emplace(*owner, std::move(application));
    }
    return true;
  }

  // The process's application as the registry lists it now, when that is another object than
  // `application` (the process left the bus and joined again); otherwise none.
  AtspiRef reregistered(AtspiAccessible* application) {
    const auto owner = knownProcessOf(*application);
    if (!owner || !listApplications(/*onlyIfChanged=*/true)) return nullptr;
    const auto found = applications_.find(*owner);
    if (found == applications_.end() || found->second.get() == application) return nullptr;
    return found->second;
  }

  // Under the lock. The process behind an application's bus connection, asked of the bus once:
  // a unique bus name is never given to another connection, so the answer holds for good.
  std::optional<ProcessId> processOf(AtspiAccessible& accessible) {
    if (const auto known = knownProcessOf(accessible)) return known;
    GError* error = nullptr;
    const guint owner = atspi_accessible_get_process_id(&accessible, &error);
    if (consume(error) != AXError::success) return std::nullopt;
    rememberProcess(accessible, static_cast<ProcessId>(owner));
    return static_cast<ProcessId>(owner);
  }

  std::optional<ProcessId> knownProcessOf(AtspiAccessible& accessible) const {
    const auto known = busProcesses_.find(std::string(atspiBusName(accessible)));
    if (known == busProcesses_.end()) return std::nullopt;
    return known->second;
  }

  void rememberProcess(AtspiAccessible& accessible, ProcessId pid) {
    std::string bus(atspiBusName(accessible));
    if (bus.empty()) return;
    // Names of applications long gone pile up: start afresh rather than grow.
    if (busProcesses_.size() >= kMaximumKnownBuses) busProcesses_.clear();
    busProcesses_.emplace(std::move(bus), pid);
  }

  AtspiRef activeWindowOf(AtspiAccessible* application, AXError* failure = nullptr) {
    const gint count = childCount(application, failure);
    bool unanswered = false;
    for (gint i = 0; i < count; ++i) {
      AtspiRef window = child(application, i);
      if (!window) {
        unanswered = true;
        continue;
      }
      const auto active = holdsStates(window.get(), {ATSPI_STATE_ACTIVE});
      if (active.value_or(false)) return window;
      unanswered = unanswered || !active;
    }
    // libatspi may know how many windows there are without asking; the windows it asks for.
    if (unanswered && failure != nullptr && *failure == AXError::success) *failure = AXError::cannotComplete;
    return nullptr;
  }

  // The focused element of an application; none with `failure` set when the application did
  // not answer (busy past the timeout, or gone).
  AtspiRef focusedIn(AtspiAccessible* application, AXError& failure) {
    failure = AXError::success;
    const std::string bus(atspiBusName(*application));
    if (const auto announced = lastFocused_.find(bus); announced != lastFocused_.end()) {
      // Still focused, and in the window that is active: the focus has not moved since.
      AtspiRef candidate = announced->second;
      if (holdsStates(candidate.get(), {ATSPI_STATE_FOCUSED, ATSPI_STATE_SHOWING}).value_or(false)) {
        AtspiRef window = windowAbove(candidate.get());
        if (window && hasState(window.get(), ATSPI_STATE_ACTIVE)) return candidate;
      }
    }
    AtspiRef window = activeWindowOf(application, &failure);
    if (!window) return nullptr;
    std::vector<AtspiRef> pending{window};
    for (int visited = 0; !pending.empty() && visited < kMaximumFocusWalk; ++visited) {
      AtspiRef next = std::move(pending.back());
      pending.pop_back();
      const States states(next.get());
      if (!states.answered()) {
        // A walk cut short by an application that stopped answering found nothing certain.
        failure = AXError::cannotComplete;
        return nullptr;
      }
      if (states.has(ATSPI_STATE_FOCUSED)) {
        lastFocused_[bus] = next;
        return next;
      }
      if (!states.has(ATSPI_STATE_SHOWING) && next != window) continue;
      AXError unanswered = AXError::success;
      const gint count = childCount(next.get(), &unanswered);
      if (unanswered != AXError::success) {
        failure = unanswered;
        return nullptr;
      }
      for (gint i = count - 1; i >= 0; --i) {
        if (AtspiRef c = child(next.get(), i)) pending.push_back(std::move(c));
      }
    }
    return nullptr;
  }

  AXAttributeResult focusResult(AtspiAccessible* application) {
    AXError failure = AXError::success;
    AtspiRef focused = focusedIn(application, failure);
    if (!focused) {
      if (AtspiRef current = reregistered(application)) focused = focusedIn(current.get(), failure);
    }
    if (!focused && failure != AXError::success) return {failure, {}};
    return elementResult(std::move(focused));
  }

  AXAttributeResult systemWideAttribute(std::string_view attribute) {
    if (attribute != "AXFocusedApplication" && attribute != "AXFocusedUIElement") {
      return {AXError::attributeUnsupported, {}};
    }
    const auto pid = activePid();
    if (!pid) return {AXError::noValue, {}};
    AtspiRef application = applicationOf(*pid);
    if (!application || attribute == "AXFocusedApplication") return elementResult(std::move(application));
    return focusResult(application.get());
  }

  // The element's whole text, repaired; absent when it has none or too much. `unit` is how
  // the element counts its offsets.
  std::optional<std::string> text(AtspiAccessible* accessible, AXError& failure,
                                  OffsetUnit* unit = nullptr) {
    AtspiText* text = atspi_accessible_get_text_iface(accessible);
    if (text == nullptr) {
      failure = AXError::noValue;
      return std::nullopt;
    }
    GError* error = nullptr;
    const gint count = atspi_text_get_character_count(text, &error);
    failure = consume(error);
    std::optional<std::string> contents;
    if (failure == AXError::success && count > kMaximumCharacters) failure = AXError::failure;
    if (failure == AXError::success) {
      OwnedString raw{atspi_text_get_text(text, 0, std::max(count, 0), &error)};
      failure = consume(error);
      if (failure == AXError::success) contents = repairUtf8(raw.value != nullptr ? raw.value : "");
    }
    g_object_unref(text);
    if (contents && unit != nullptr) *unit = offsetUnitOf(*contents, count);
    return contents;
  }

  // The first selection, else the caret, in characters.
  std::optional<std::pair<gint, gint>> selection(AtspiAccessible* accessible, AXError& failure) {
    AtspiText* text = atspi_accessible_get_text_iface(accessible);
    if (text == nullptr) {
      failure = AXError::noValue;
      return std::nullopt;
    }
    GError* error = nullptr;
    std::optional<std::pair<gint, gint>> range;
    const gint selections = atspi_text_get_n_selections(text, &error);
    failure = consume(error);
    if (failure == AXError::success && selections > 0) {
      AtspiRange* first = atspi_text_get_selection(text, 0, &error);
      failure = consume(error);
      if (first != nullptr && failure == AXError::success) range.emplace(first->start_offset, first->end_offset);
      g_free(first);
    }
    if (!range && failure == AXError::success) {
      const gint caret = atspi_text_get_caret_offset(text, &error);
      failure = consume(error);
      if (failure == AXError::success) range.emplace(caret, caret);
    }
    g_object_unref(text);
    return range;
  }

  std::optional<TextRange> utf16Range(const std::string& contents, OffsetUnit unit, gint start,
                                      gint end) {
    const auto convert = [&](gint offset) -> std::optional<std::int64_t> {
      if (unit == OffsetUnit::characters) return utf16OffsetOf(contents, offset);
      // Already UTF-16 units: still one of the text's character boundaries.
      if (!characterOffsetOf(contents, offset)) return std::nullopt;
      return offset;
    };
    const auto from = convert(std::min(start, end));
    const auto to = convert(std::max(start, end));
    if (!from || !to) return std::nullopt;
    return TextRange{*from, *to - *from};
  }

  AXAttributeResult textAttribute(AtspiAccessible* accessible, std::string_view attribute) {
    AXError failure = AXError::success;
    OffsetUnit unit = OffsetUnit::characters;
    const auto contents = text(accessible, failure, &unit);
    if (!contents) return {failure, {}};
    if (attribute == "AXValue") return {AXError::success, *contents};
    if (attribute == "AXNumberOfCharacters") {
      return {AXError::success, static_cast<double>(utf16Length(*contents).value_or(0))};
    }
    const auto selected = selection(accessible, failure);
    if (!selected) return {failure, {}};
    const auto range = utf16Range(*contents, unit, selected->first, selected->second);
    if (!range) return {AXError::failure, {}};
    if (attribute == "AXSelectedTextRange") return {AXError::success, *range};
    const auto units = substringOfUtf16Range(*contents, *range);
    if (!units) return {AXError::failure, {}};
    return {AXError::success, *units};
  }

  static std::optional<std::string> substringOfUtf16Range(const std::string& contents, TextRange range) {
    const auto characters = characterRangeOf(contents, range.location, range.length);
    if (!characters) return std::nullopt;
    const char* start = g_utf8_offset_to_pointer(contents.c_str(), static_cast<glong>(characters->first));
    const char* end = g_utf8_offset_to_pointer(contents.c_str(), static_cast<glong>(characters->second));
    return std::string(start, end);
  }

  // The window an element is in, found once: the element is kept in its window for its life
  // (toolkits move no widget between top-level windows), and the focus check asks it each time.
  AtspiRef windowAbove(AtspiAccessible* accessible) {
    if (const gpointer known = g_object_get_qdata(G_OBJECT(accessible), windowQuark())) {
      return ref(static_cast<AtspiAccessible*>(g_object_ref(known)));
    }
    AtspiRef current = ref(static_cast<AtspiAccessible*>(g_object_ref(accessible)));
    for (int depth = 0; current && depth < kMaximumAncestors; ++depth) {
      AXError failure = AXError::success;
      const auto found = role(current.get(), failure);
      if (!found || *found == ATSPI_ROLE_APPLICATION) return nullptr;
      if (isWindowRole(*found)) {
        if (current.get() != accessible) {
          g_object_set_qdata_full(G_OBJECT(accessible), windowQuark(), g_object_ref(current.get()),
                                  g_object_unref);
        }
        return current;
      }
      GError* error = nullptr;
      current = ref(atspi_accessible_get_parent(current.get(), &error));
      consume(error);
    }
    return nullptr;
  }

  AXAttributeResult elementAttribute(AtspiAccessible* accessible, std::string_view attribute) {
    AXError failure = AXError::success;
    const auto found = role(accessible, failure);
    if (!found) return {failure, {}};
    const AtspiRole atspiRole = *found;
    GError* error = nullptr;

    if (attribute == "AXRole") {
      return {AXError::success, std::string(axRoleFor(atspiRole, hasState(accessible, ATSPI_STATE_MULTI_LINE)))};
    }
    if (attribute == "AXSubrole") {
      if (atspiRole == ATSPI_ROLE_PASSWORD_TEXT) return {AXError::success, std::string("AXSecureTextField")};
      return {AXError::noValue, {}};
    }
    if (attribute == "AXValue" || attribute == "AXSelectedTextRange" ||
        attribute == "AXSelectedText" || attribute == "AXNumberOfCharacters") {
      return textAttribute(accessible, attribute);
    }
    if (attribute == "AXTitle" || attribute == "AXDescription" || attribute == "AXRoleDescription") {
      OwnedString value{attribute == "AXTitle"         ? atspi_accessible_get_name(accessible, &error)
                        : attribute == "AXDescription" ? atspi_accessible_get_description(accessible, &error)
                                                       : atspi_accessible_get_localized_role_name(accessible, &error)};
      failure = consume(error);
      if (failure != AXError::success) return {failure, {}};
      return {AXError::success, repairUtf8(value.value != nullptr ? value.value : "")};
    }
    if (attribute == "AXPlaceholderValue") {
      GHashTable* attributes = atspi_accessible_get_attributes(accessible, &error);
      failure = consume(error);
      std::optional<std::string> placeholder;
      if (attributes != nullptr) {
        if (const auto* value = static_cast<const char*>(g_hash_table_lookup(attributes, "placeholder-text"))) {
          placeholder = repairUtf8(value);
        }
        g_hash_table_unref(attributes);
      }
      if (failure != AXError::success) return {failure, {}};
      if (!placeholder) return {AXError::noValue, {}};
      return {AXError::success, *placeholder};
    }
    if (attribute == "AXFocused") return {AXError::success, hasState(accessible, ATSPI_STATE_FOCUSED)};
    if (attribute == "AXEnabled") {
      return {AXError::success, hasState(accessible, ATSPI_STATE_ENABLED) || hasState(accessible, ATSPI_STATE_SENSITIVE)};
    }
    if (attribute == "AXMinimized") {
      if (!isWindowRole(atspiRole)) return {AXError::attributeUnsupported, {}};
      return {AXError::success, hasState(accessible, ATSPI_STATE_ICONIFIED)};
    }
    if (attribute == "AXParent") {
      if (atspiRole == ATSPI_ROLE_APPLICATION) return {AXError::noValue, {}};
      AtspiRef parent = ref(atspi_accessible_get_parent(accessible, &error));
      failure = consume(error);
      if (failure != AXError::success) return {failure, {}};
      return elementResult(std::move(parent));
    }
    if (attribute == "AXChildren" || attribute == "AXVisibleChildren" || attribute == "AXWindows") {
      if (attribute == "AXWindows" && atspiRole != ATSPI_ROLE_APPLICATION) return {AXError::attributeUnsupported, {}};
      std::vector<AXElement> children;
      const gint count = childCount(accessible);
      for (gint i = 0; i < count; ++i) {
        AtspiRef c = child(accessible, i);
        if (!c) continue;
        if (attribute == "AXVisibleChildren" && !hasState(c.get(), ATSPI_STATE_SHOWING)) continue;
        if (attribute == "AXWindows") {
          AXError childFailure = AXError::success;
          const auto childRole = role(c.get(), childFailure);
          if (!childRole || !isWindowRole(*childRole)) continue;
        }
        children.push_back(AtspiElement::of(std::move(c)));
      }
      return {AXError::success, std::move(children)};
    }
    if (attribute == "AXFocusedWindow" || attribute == "AXMainWindow") {
      if (atspiRole != ATSPI_ROLE_APPLICATION) return {AXError::attributeUnsupported, {}};
      return elementResult(activeWindowOf(accessible));
    }
    if (attribute == "AXFocusedUIElement") {
      if (atspiRole != ATSPI_ROLE_APPLICATION) return {AXError::attributeUnsupported, {}};
      return focusResult(accessible);
    }
    if (attribute == "AXWindow") {
      if (atspiRole == ATSPI_ROLE_APPLICATION) return {AXError::attributeUnsupported, {}};
      return elementResult(windowAbove(accessible));
    }
    if (attribute == "AXPosition" || attribute == "AXSize") {
      AtspiComponent* component = atspi_accessible_get_component_iface(accessible);
      if (component == nullptr) return {AXError::attributeUnsupported, {}};
      AtspiRect* extents = atspi_component_get_extents(component, ATSPI_COORD_TYPE_SCREEN, &error);
      g_object_unref(component);
      failure = consume(error);
      AXAttributeResult result{failure, {}};
      if (extents != nullptr && failure == AXError::success) {
        if (attribute == "AXPosition") result.value = AXPoint{double(extents->x), double(extents->y)};
        else result.value = AXSize{double(extents->width), double(extents->height)};
      }
      g_free(extents);
      return result;
    }
    return {AXError::attributeUnsupported, {}};
  }

  AXSettableResult settable(AtspiAccessible* accessible, std::string_view attribute) {
    if (attribute == "AXFocused") return {AXError::success, hasState(accessible, ATSPI_STATE_FOCUSABLE)};
    if (attribute == "AXValue") {
      AtspiEditableText* editable = atspi_accessible_get_editable_text_iface(accessible);
      if (editable != nullptr) g_object_unref(editable);
      return {AXError::success, editable != nullptr && hasState(accessible, ATSPI_STATE_EDITABLE)};
    }
    if (attribute == "AXSelectedTextRange") {
      AtspiText* text = atspi_accessible_get_text_iface(accessible);
      if (text != nullptr) g_object_unref(text);
      return {AXError::success, text != nullptr && (hasState(accessible, ATSPI_STATE_EDITABLE) ||
                                                    hasState(accessible, ATSPI_STATE_SELECTABLE_TEXT))};
    }
    return {AXError::success, false};
  }

  AXError set(AtspiAccessible* accessible, std::string_view attribute, const AXValue& value) {
    GError* error = nullptr;
    if (attribute == "AXFocused") {
      const auto* focus = std::get_if<bool>(&value);
      if (focus == nullptr) return AXError::illegalArgument;
      if (!*focus) return AXError::success;  // nothing to give the focus to instead
      AtspiComponent* component = atspi_accessible_get_component_iface(accessible);
      if (component == nullptr) return AXError::attributeUnsupported;
      const bool granted = atspi_component_grab_focus(component, &error);
      g_object_unref(component);
      return consume(error, granted);
    }
    if (attribute == "AXValue") {
      const auto* contents = std::get_if<std::string>(&value);
      if (contents == nullptr) return AXError::illegalArgument;
      AtspiEditableText* editable = atspi_accessible_get_editable_text_iface(accessible);
      if (editable == nullptr) return AXError::attributeUnsupported;
      const bool done = atspi_editable_text_set_text_contents(editable, contents->c_str(), &error);
      g_object_unref(editable);
      return consume(error, done);
    }
    if (attribute == "AXSelectedTextRange") {
      const auto* range = std::get_if<TextRange>(&value);
      if (range == nullptr) return AXError::illegalArgument;
      AXError failure = AXError::success;
      OffsetUnit unit = OffsetUnit::characters;
      const auto contents = text(accessible, failure, &unit);
      if (!contents) return failure;
      auto characters = characterRangeOf(*contents, range->location, range->length);
      if (!characters) return AXError::illegalArgument;
      if (unit == OffsetUnit::utf16Units) characters.emplace(range->location, range->location + range->length);
      const auto from = static_cast<gint>(characters->first);
      const auto to = static_cast<gint>(characters->second);
      AtspiText* text = atspi_accessible_get_text_iface(accessible);
      if (text == nullptr) return AXError::attributeUnsupported;
      bool done = false;
      if (from == to) {
        done = atspi_text_set_caret_offset(text, from, &error);
      } else {
        done = atspi_text_set_selection(text, 0, from, to, &error);
        if (consume(error) != AXError::success || !done) done = atspi_text_add_selection(text, from, to, &error);
      }
      g_object_unref(text);
      return consume(error, done);
    }
    return AXError::attributeUnsupported;
  }

  AXError act(AtspiAccessible* accessible, std::string_view action) {
    if (action == "AXRaise") {
      const auto pid = processOf(*accessible);
      if (!pid) return AXError::cannotComplete;
      // The element's own window, known to the window manager by its title.
      std::string title;
      if (AtspiRef window = windowAbove(accessible)) title = nameOf(window.get());
      return raise_ && raise_(*pid, title) ? AXError::success
                                                                  : AXError::cannotComplete;
    }
    std::vector<std::string_view> names;
    if (action == "AXPress") names = {"click", "press", "activate", "toggle"};
    else if (action == "AXConfirm") names = {"activate"};
    else return AXError::actionUnsupported;
    AtspiAction* actions = atspi_accessible_get_action_iface(accessible);
    if (actions == nullptr) return AXError::actionUnsupported;
    GError* error = nullptr;
    const gint count = std::min(atspi_action_get_n_actions(actions, &error), 64);
    AXError result = consume(error);
    if (result == AXError::success) result = AXError::actionUnsupported;
    for (const std::string_view wanted : names) {
      for (gint i = 0; i < count && result == AXError::actionUnsupported; ++i) {
        OwnedString name{atspi_action_get_action_name(actions, i, &error)};
        if (consume(error) != AXError::success || name.value == nullptr) continue;
        if (g_ascii_strcasecmp(name.value, std::string(wanted).c_str()) != 0) continue;
        const bool done = atspi_action_do_action(actions, i, &error);
        result = consume(error, done);
      }
    }
    g_object_unref(actions);
    return result;
  }

 private:
  std::unique_ptr<X11Display> display_;
  RaiseWindow raise_;
  bool started_ = false;
  int defaultTimeoutMs_ = kDefaultTimeoutMs;
  int appliedTimeoutMs_ = kDefaultTimeoutMs;
  std::unordered_map<std::string, int> elementTimeouts_;
  std::deque<std::string> timeoutOrder_;
  std::thread dispatcher_;
  int stopDispatcher_ = -1;
  std::unordered_map<std::string, ProcessId> busProcesses_;
  std::unordered_map<ProcessId, AtspiRef> applications_;
  std::unordered_map<ProcessId, std::chrono::steady_clock::time_point> framelessSince_;
  gint applicationsCounted_ = -1;
  AtspiEventListener* focusListener_ = nullptr;
  std::unordered_map<std::string, AtspiRef> lastFocused_;  // by the application's bus name
};

namespace {
const AtspiElement* elementOf(const AXElement& element) {
  return dynamic_cast<const AtspiElement*>(&element.object());
}
}  // namespace

AtspiAccessibility::AtspiAccessibility(std::unique_ptr<X11Display> display,
                                       RaiseWindow raiseApplication)
    : implementation_(std::make_unique<Implementation>(std::move(display), std::move(raiseApplication))) {}

AtspiAccessibility::~AtspiAccessibility() = default;

AXElement AtspiAccessibility::systemWideElement() { return AtspiElement::systemWide(); }

AXElement AtspiAccessibility::applicationElement(ProcessId pid) {
  std::lock_guard guard(*implementation_->lock);
  if (pid > 0 && implementation_->ready()) {
    if (AtspiRef application = implementation_->applicationOf(pid)) return AtspiElement::of(application);
  }
  return AtspiElement::missingApplication(pid);
}

AXAttributeResult AtspiAccessibility::copyAttributeValue(const AXElement& element,
                                                         std::string_view attribute) {
  std::lock_guard guard(*implementation_->lock);
  if (!implementation_->ready()) return {AXError::apiDisabled, {}};
  const AtspiElement* target = elementOf(element);
  if (target == nullptr) return {AXError::illegalArgument, {}};
  const Implementation::CallTimeout timeout(*implementation_, *target);
  if (target->isSystemWide()) return implementation_->systemWideAttribute(attribute);
  if (implementation_->isAccessibilitySwitch(*target, attribute)) {
    const auto on = accessibilitySwitch(std::nullopt);
    if (!on) return {AXError::cannotComplete, {}};
    return {AXError::success, *on};
  }
  if (target->accessible() == nullptr) return {AXError::cannotComplete, {}};
  return implementation_->elementAttribute(target->accessible(), attribute);
}

AXAttributeResult AtspiAccessibility::copyParameterizedAttributeValue(const AXElement& element,
                                                                      std::string_view attribute,
                                                                      const AXValue& parameter) {
  std::lock_guard guard(*implementation_->lock);
  if (!implementation_->ready()) return {AXError::apiDisabled, {}};
  const AtspiElement* target = elementOf(element);
  if (target == nullptr || target->accessible() == nullptr) return {AXError::illegalArgument, {}};
  if (attribute != "AXStringForRange" && attribute != "AXAttributedStringForRange") {
    return {AXError::parameterizedAttributeUnsupported, {}};
  }
  const auto* range = std::get_if<TextRange>(&parameter);
  if (range == nullptr) return {AXError::illegalArgument, {}};
  const Implementation::CallTimeout timeout(*implementation_, *target);
  AXError failure = AXError::success;
  const auto contents = implementation_->text(target->accessible(), failure);
  if (!contents) return {failure, {}};
  auto piece = Implementation::substringOfUtf16Range(*contents, *range);
  if (!piece) return {AXError::illegalArgument, {}};
  if (attribute == "AXStringForRange") return {AXError::success, std::move(*piece)};
  return {AXError::success, AXAttributedString{std::move(*piece)}};
}

AXSettableResult AtspiAccessibility::isAttributeSettable(const AXElement& element,
                                                         std::string_view attribute) {
  std::lock_guard guard(*implementation_->lock);
  if (!implementation_->ready()) return {AXError::apiDisabled, false};
  const AtspiElement* target = elementOf(element);
  if (target == nullptr || target->isSystemWide()) return {AXError::illegalArgument, false};
  if (implementation_->isAccessibilitySwitch(*target, attribute)) return {AXError::success, true};
  if (target->accessible() == nullptr) return {AXError::cannotComplete, false};
  const Implementation::CallTimeout timeout(*implementation_, *target);
  return implementation_->settable(target->accessible(), attribute);
}

AXError AtspiAccessibility::setAttributeValue(const AXElement& element, std::string_view attribute,
                                              const AXValue& value) {
  std::lock_guard guard(*implementation_->lock);
  if (!implementation_->ready()) return AXError::apiDisabled;
  const AtspiElement* target = elementOf(element);
  if (target == nullptr || target->isSystemWide()) return AXError::illegalArgument;
  if (implementation_->isAccessibilitySwitch(*target, attribute)) {
    const auto* on = std::get_if<bool>(&value);
    if (on == nullptr) return AXError::illegalArgument;
    // Turning it off would take the trees away from every other reader too.
    if (!*on) return AXError::success;
    return accessibilitySwitch(true) ? AXError::success : AXError::cannotComplete;
  }
  if (target->accessible() == nullptr) return AXError::cannotComplete;
  const Implementation::CallTimeout timeout(*implementation_, *target);
  return implementation_->set(target->accessible(), attribute, value);
}

AXError AtspiAccessibility::performAction(const AXElement& element, std::string_view action) {
  std::lock_guard guard(*implementation_->lock);
  if (!implementation_->ready()) return AXError::apiDisabled;
  const AtspiElement* target = elementOf(element);
  if (target == nullptr || target->isSystemWide()) return AXError::illegalArgument;
  if (target->accessible() == nullptr) return AXError::cannotComplete;
  const Implementation::CallTimeout timeout(*implementation_, *target);
  return implementation_->act(target->accessible(), action);
}

AXProcessIdResult AtspiAccessibility::processId(const AXElement& element) {
  std::lock_guard guard(*implementation_->lock);
  if (!implementation_->ready()) return {AXError::apiDisabled, 0};
  const AtspiElement* target = elementOf(element);
  if (target == nullptr || target->isSystemWide()) return {AXError::illegalArgument, 0};
  if (target->accessible() == nullptr) return {AXError::cannotComplete, 0};
  const Implementation::CallTimeout timeout(*implementation_, *target);
  if (const auto known = implementation_->knownProcessOf(*target->accessible())) return {AXError::success, *known};
  GError* error = nullptr;
  const guint pid = atspi_accessible_get_process_id(target->accessible(), &error);
  const AXError failure = consume(error);
  if (failure != AXError::success) return {failure, 0};
  implementation_->rememberProcess(*target->accessible(), static_cast<ProcessId>(pid));
  return {AXError::success, static_cast<ProcessId>(pid)};
}

AXError AtspiAccessibility::setMessagingTimeout(const AXElement& element, float seconds) {
  std::lock_guard guard(*implementation_->lock);
  if (!implementation_->ready()) return AXError::apiDisabled;
  const AtspiElement* target = elementOf(element);
  if (target == nullptr || !std::isfinite(seconds) || seconds < 0) return AXError::illegalArgument;
  const int milliseconds = seconds == 0 ? kDefaultTimeoutMs
                                        : static_cast<int>(std::clamp(seconds * 1000.0f, 1.0f, 600000.0f));
  implementation_->setTimeout(*target, milliseconds);
  return AXError::success;
}

AXObserverResult AtspiAccessibility::createObserver(ProcessId pid, AXObserverCallback callback) {
  if (pid <= 0 || !callback) return {AXError::illegalArgument, nullptr};
  std::lock_guard guard(*implementation_->lock);
  if (!implementation_->ready()) return {AXError::apiDisabled, nullptr};
  AtspiRef application = implementation_->applicationOf(pid);
  if (!application) return {AXError::cannotComplete, nullptr};
  Implementation* implementation = implementation_.get();
  return {AXError::success,
          std::make_unique<AtspiObserver>(implementation->lock, std::move(application),
                                          [implementation] { implementation->dispatch(); },
                                          std::move(callback))};
}

bool AtspiAccessibility::isProcessTrusted() {
  std::lock_guard guard(*implementation_->lock);
  return implementation_->ready();
}

bool AtspiAccessibility::focusIsTerminal() {
  std::lock_guard guard(*implementation_->lock);
  if (!implementation_->ready()) return false;
  const auto focused = implementation_->systemWideAttribute("AXFocusedUIElement");
  const auto* element = std::get_if<AXElement>(&focused.value);
  const AtspiElement* target = element ? elementOf(*element) : nullptr;
  if (target == nullptr || target->accessible() == nullptr) return false;
  AXError failure = AXError::success;
  return implementation_->role(target->accessible(), failure) == ATSPI_ROLE_TERMINAL;
}

std::string AtspiAccessibility::untrustedReason() {
  std::lock_guard guard(*implementation_->lock);
  return implementation_->untrustedReason;
}

}  // namespace orvix::platform::linux_desktop
