#include "platform/linux/desktop/xinput_event_tap.h"

#include <X11/XKBlib.h>
#include <X11/extensions/XInput2.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <set>

#include "platform/linux/desktop/key_mapping.h"
#include "platform/linux/desktop/tapped_event_time.h"

namespace orvix::platform::linux_desktop {

namespace {

constexpr Time kMultipleClickInterval = 500;  // milliseconds of server time
constexpr double kMultipleClickDistance = 4;
constexpr unsigned kLeftButton = 1;
constexpr unsigned kFirstWheelButton = 4;
constexpr unsigned kLastWheelButton = 7;

class TappedEvent final : public InputEvent {
 public:
  TappedEvent(EventType type, EventFlags flags, ScreenPoint location)
      : type_(type), flags_(flags), location_(location) {}
  EventType type() const override { return type_; }
  EventFlags flags() const override { return flags_; }
  void setFlags(EventFlags flags) override { flags_ = flags; }
  std::int64_t integerField(EventField field) const override {
    switch (field) {
      case EventField::keyboardEventKeycode: return keyCode;
      case EventField::mouseEventClickState: return clickState;
      case EventField::eventSourceUserData: return userData;
      case EventField::eventTargetUnixProcessID: return 0;
    }
    return 0;
  }
  void setIntegerField(EventField, std::int64_t) override {}
  ScreenPoint location() const override { return location_; }

  std::int64_t keyCode = 0;
  std::int64_t clickState = 0;
  std::int64_t userData = 0;

 private:
  EventType type_;
  EventFlags flags_;
  ScreenPoint location_;
};

}  // namespace

struct XInputEventTap::Delivery {
  std::mutex lock;
  RunLoop* loop = nullptr;
  bool enabled = true;
  bool invalidated = false;
  EventMask mask = 0;
  EventTapCallback callback;
  std::shared_ptr<PostedEventMarks> mark;
  int opcode = 0;

  // Reader thread only.
  std::set<int> injectingDevices;
  std::map<int, EventFlags> modifierKeysDown;  // key code -> the flag it holds
  EventFlags flags = 0;
  Time lastPress = 0;
  ScreenPoint lastPressAt;
  std::int64_t clicks = 0;

  static void deliver(const std::shared_ptr<Delivery>& self, std::shared_ptr<TappedEvent> event,
                      Time serverTime) {
    std::lock_guard guard(self->lock);
    if (self->loop == nullptr || self->invalidated || !self->enabled) return;
    if ((self->mask & eventMaskBit(event->type())) == 0) return;
    self->loop->post([self, event, serverTime] {
      EventTapCallback current;
      {
        std::lock_guard inner(self->lock);
        if (self->invalidated || !self->enabled) return;
        current = self->callback;
      }
      const TappedEventTime::Scope at(serverTime);
      current(static_cast<std::uint32_t>(event->type()), *event);
    });
  }
};

std::shared_ptr<XInputEventTap> XInputEventTap::create(std::unique_ptr<X11Display> display,
                                                       std::shared_ptr<PostedEventMarks> mark,
                                                       EventMask mask, EventTapCallback callback) {
  if (!display || !callback) return nullptr;
  Display* x = display->get();
  int opcode = 0, event = 0, error = 0;
  if (!XQueryExtension(x, "XInputExtension", &opcode, &event, &error)) return nullptr;
  // 2.1 or later: raw events then reach this client also while another client grabs the
  // pointer, as a text field does from a press to its release; under 2.0 the release of a
  // double click would never be seen.
  int major = 2, minor = 2;
  if (XIQueryVersion(x, &major, &minor) != Success) return nullptr;

  auto delivery = std::make_shared<Delivery>();
  delivery->mask = mask;
  delivery->callback = std::move(callback);
  delivery->mark = std::move(mark);
  delivery->opcode = opcode;
  int count = 0;
  if (XIDeviceInfo* devices = XIQueryDevice(x, XIAllDevices, &count)) {
    for (int i = 0; i < count; ++i) {
      if (devices[i].name != nullptr && std::strstr(devices[i].name, "XTEST") != nullptr) {
        delivery->injectingDevices.insert(devices[i].deviceid);
      }
    }
    XIFreeDeviceInfo(devices);
  }

  unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
  XISetMask(bits, XI_RawKeyPress);
  XISetMask(bits, XI_RawKeyRelease);
  XISetMask(bits, XI_RawButtonPress);
  XISetMask(bits, XI_RawButtonRelease);
  if ((mask & eventMaskBit(EventType::mouseMoved)) != 0) XISetMask(bits, XI_RawMotion);
  XIEventMask selection{XIAllMasterDevices, sizeof(bits), bits};
  XISelectEvents(x, DefaultRootWindow(x), &selection, 1);
  XFlush(x);

  const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) return nullptr;
  return std::shared_ptr<XInputEventTap>(new XInputEventTap(std::move(display), delivery, wake));
}

XInputEventTap::XInputEventTap(std::unique_ptr<X11Display> display,
                               std::shared_ptr<Delivery> delivery, int wake)
    : display_(std::move(display)), delivery_(std::move(delivery)), wake_(wake) {
  reader_ = std::thread([this] { read(); });
}

XInputEventTap::~XInputEventTap() {
  invalidate();
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = ::write(wake_, &one, sizeof(one));
  reader_.join();
  ::close(wake_);
}

void XInputEventTap::setEnabled(bool enabled) {
  std::lock_guard guard(delivery_->lock);
  delivery_->enabled = enabled;
}

void XInputEventTap::invalidate() {
  std::lock_guard guard(delivery_->lock);
  delivery_->invalidated = true;
}

void XInputEventTap::addRunLoopSource(RunLoop& loop) {
  std::lock_guard guard(delivery_->lock);
  delivery_->loop = &loop;
}

void XInputEventTap::read() {
  Display* x = display_->get();
  Delivery& d = *delivery_;
  for (;;) {
    {
      std::lock_guard guard(d.lock);
      if (d.invalidated) return;
    }
    if (XPending(x) == 0) {
      pollfd fds[2] = {{ConnectionNumber(x), POLLIN, 0}, {wake_, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents != 0) return;
      if (XPending(x) == 0) continue;
    }
    XEvent event;
    XNextEvent(x, &event);
    if (event.xcookie.type != GenericEvent || event.xcookie.extension != d.opcode) continue;
    if (!XGetEventData(x, &event.xcookie)) continue;
    const auto* raw = static_cast<const XIRawEvent*>(event.xcookie.data);
    const int kind = event.xcookie.evtype;
    Window rootReturn = None, child = None;
    int rootX = 0, rootY = 0, winX = 0, winY = 0;
    unsigned int state = 0;
    XQueryPointer(x, DefaultRootWindow(x), &rootReturn, &child, &rootX, &rootY, &winX, &winY,
                  &state);
    const ScreenPoint at{static_cast<double>(rootX), static_cast<double>(rootY)};
    std::shared_ptr<TappedEvent> tapped;
    if (kind == XI_RawKeyPress || kind == XI_RawKeyRelease) {
      const bool down = kind == XI_RawKeyPress;
      const KeySym symbol = XkbKeycodeToKeysym(x, static_cast<KeyCode>(raw->detail), 0, 0);
      if (const EventFlags flag = modifierFlagOf(symbol)) {
        if (down) d.modifierKeysDown[raw->detail] = flag;
        else d.modifierKeysDown.erase(raw->detail);
        d.flags = 0;
        for (const auto& [key, held] : d.modifierKeysDown) d.flags |= held;
      }
      tapped = std::make_shared<TappedEvent>(down ? EventType::keyDown : EventType::keyUp,
                                             d.flags, at);
      tapped->keyCode = hostCodeForKeySym(symbol).value_or(0xFFFF);
    } else if ((kind == XI_RawButtonPress || kind == XI_RawButtonRelease) &&
               static_cast<unsigned>(raw->detail) == kLeftButton) {
      const bool down = kind == XI_RawButtonPress;
      if (down) {
        const bool near = std::abs(at.x - d.lastPressAt.x) <= kMultipleClickDistance &&
                          std::abs(at.y - d.lastPressAt.y) <= kMultipleClickDistance;
        d.clicks = (d.clicks > 0 && near && raw->time - d.lastPress <= kMultipleClickInterval)
                       ? d.clicks + 1
                       : 1;
        d.lastPress = raw->time;
        d.lastPressAt = at;
      }
      tapped = std::make_shared<TappedEvent>(down ? EventType::leftMouseDown : EventType::leftMouseUp,
                                             d.flags, at);
      tapped->clickState = d.clicks;
    } else if (kind == XI_RawButtonPress && static_cast<unsigned>(raw->detail) >= kFirstWheelButton &&
               static_cast<unsigned>(raw->detail) <= kLastWheelButton) {
      tapped = std::make_shared<TappedEvent>(EventType::scrollWheel, d.flags, at);
    } else if (kind == XI_RawMotion) {
      tapped = std::make_shared<TappedEvent>(EventType::mouseMoved, d.flags, at);
    }
    const bool transition = kind != XI_RawMotion;
    if (transition && d.injectingDevices.count(raw->sourceid) != 0) {
      // Every injected transition takes its mark, also one the tap does not report (a wheel
      // release, another button), so the queue stays in step with the server.
      const std::int64_t mark = d.mark->take();
      if (tapped) tapped->userData = mark;
    }
    const Time serverTime = raw->time;
    XFreeEventData(x, &event.xcookie);
    if (tapped) Delivery::deliver(delivery_, std::move(tapped), serverTime);
  }
}

}  // namespace orvix::platform::linux_desktop
