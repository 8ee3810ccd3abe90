#include "platform/linux/desktop/xinput_event_tap.h"

#include <X11/XKBlib.h>
#include <X11/extensions/XInput.h>
#include <X11/extensions/XInput2.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "platform/linux/desktop/key_mapping.h"
#include "platform/linux/desktop/tapped_event_time.h"

namespace orvix::platform::linux_desktop {

namespace {

constexpr Time kMultipleClickInterval = 500;  // milliseconds of server time
constexpr double kMultipleClickDistance = 4;
constexpr unsigned kPrimaryButton = 1;
constexpr unsigned kFirstWheelButton = 4;
constexpr unsigned kLastWheelButton = 7;
constexpr KeySym kFirstLatin1 = 0x20;
constexpr KeySym kLastLatin1 = 0xff;

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
      case EventField::eventTargetUnixProcessID: return targetPid;
    }
    return 0;
  }
  void setIntegerField(EventField, std::int64_t) override {}
  ScreenPoint location() const override { return location_; }

  std::int64_t keyCode = 0;
  std::int64_t clickState = 0;
  std::int64_t userData = 0;
  std::int64_t targetPid = 0;

 private:
  EventType type_;
  EventFlags flags_;
  ScreenPoint location_;
};

struct KeyboardMapDeleter {
  void operator()(XkbDescPtr map) const { XkbFreeKeyboard(map, 0, True); }
};

// The keyboard as the tap reads it: the server's key symbols and its effective group, kept
// current from XKB's notifications on the tap's connection.
class KeyboardGroups {
 public:
  explicit KeyboardGroups(Display* x) : x_(x) {
    int opcode = 0, error = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
    if (!XkbQueryExtension(x_, &opcode, &eventBase_, &error, &major, &minor)) {
      eventBase_ = -1;
      return;
    }
    constexpr unsigned long kMapChanges = XkbNewKeyboardNotifyMask | XkbMapNotifyMask;
    XkbSelectEvents(x_, XkbUseCoreKbd, kMapChanges, kMapChanges);
    XkbSelectEventDetails(x_, XkbUseCoreKbd, XkbStateNotify, XkbGroupStateMask, XkbGroupStateMask);
    XkbStateRec state{};
    if (XkbGetState(x_, XkbUseCoreKbd, &state) == Success) group_ = state.group;
    reload();
  }

  // Whether `event` was one of XKB's, which it then took into account.
  bool handle(const XEvent& event) {
    if (eventBase_ < 0 || event.type != eventBase_) return false;
    const auto& xkb = reinterpret_cast<const XkbEvent&>(event);
    switch (xkb.any.xkb_type) {
      case XkbStateNotify:
        group_ = static_cast<unsigned>(xkb.state.group);
        break;
      case XkbMapNotify:
      case XkbNewKeyboardNotify:
        reload();
        break;
      default:
        break;
    }
    return true;
  }

  // The key's first-level symbol in each of its groups, and which of them the current group
  // selects.
  std::pair<std::vector<KeySym>, std::size_t> symbols(unsigned keyCode) const {
    if (!map_ || map_->map == nullptr || keyCode < map_->min_key_code ||
        keyCode > map_->max_key_code) {
      return {};
    }
    const auto key = static_cast<KeyCode>(keyCode);
    const auto group = keyGroupFor(group_, XkbKeyGroupInfo(map_.get(), key));
    if (!group) return {};
    std::vector<KeySym> symbols;
    for (int each = 0; each < XkbKeyNumGroups(map_.get(), key); ++each) {
      symbols.push_back(XkbKeySymEntry(map_.get(), key, 0, each));
    }
    return {std::move(symbols), *group};
  }

 private:
  void reload() { map_.reset(XkbGetMap(x_, XkbKeySymsMask, XkbUseCoreKbd)); }

  Display* x_;
  int eventBase_ = -1;
  unsigned group_ = 0;
  std::unique_ptr<XkbDescRec, KeyboardMapDeleter> map_;
};

// Which button a device's raw button is once mapped: through the source device's own map
// (xinput set-button-map) and then the core pointer map (xmodmap), as the server does.
class ButtonMaps {
 public:
  explicit ButtonMaps(Display* x) : x_(x) { reloadCore(); }
  ~ButtonMaps() {
    for (const auto& [id, device] : devices_) {
      if (device != nullptr) XCloseDevice(x_, device);
    }
  }
  ButtonMaps(const ButtonMaps&) = delete;
  ButtonMaps& operator=(const ButtonMaps&) = delete;

  // After a MappingNotify for the pointer.
  void reloadCore() { core_ = read(nullptr); }

  // 0 for a button the maps switch off.
  unsigned logical(int sourceDevice, unsigned physical) {
    unsigned button = physical;
    // The device's map is read each time: a change to it notifies only the XInput 1 clients
    // that asked, and buttons come at a human pace.
    if (XDevice* device = open(sourceDevice)) button = through(read(device), button);
    return button == 0 ? 0 : through(core_, button);
  }

 private:
  static unsigned through(const std::vector<unsigned char>& map, unsigned button) {
    return button >= 1 && button <= map.size() ? map[button - 1] : button;
  }

  std::vector<unsigned char> read(XDevice* device) {
    std::array<unsigned char, 256> map{};
    const int count = device == nullptr
                          ? XGetPointerMapping(x_, map.data(), static_cast<int>(map.size()))
                          : XGetDeviceButtonMapping(x_, device, map.data(),
                                                    static_cast<unsigned>(map.size()));
    if (count <= 0) return {};
    return {map.begin(), map.begin() + std::min<std::size_t>(static_cast<std::size_t>(count), map.size())};
  }

  XDevice* open(int id) {
    if (const auto known = devices_.find(id); known != devices_.end()) return known->second;
    XDevice* device = XOpenDevice(x_, static_cast<XID>(id));
    // A device that could not be opened (gone already) is asked for again next time.
    if (device != nullptr) devices_[id] = device;
    return device;
  }

  Display* x_;
  std::vector<unsigned char> core_;
  std::map<int, XDevice*> devices_;
};

std::int64_t pidOf(X11Display& display, std::optional<Window> client) {
  if (!client) return 0;
  return display.windowPid(*client).value_or(0);
}

}  // namespace

std::optional<std::size_t> keyGroupFor(unsigned group, unsigned char groupInfo) {
  const unsigned count = XkbNumGroups(groupInfo);
  if (count == 0) return std::nullopt;
  if (group < count) return group;
  switch (XkbOutOfRangeGroupAction(groupInfo)) {
    case XkbClampIntoRange:
      return count - 1;
    case XkbRedirectIntoRange: {
      const unsigned target = XkbOutOfRangeGroupNumber(groupInfo);
      return target < count ? target : 0;
    }
    default:
      return group % count;
  }
}

std::optional<std::uint16_t> hostCodeOfKey(std::span<const KeySym> symbols, std::size_t group) {
  if (group < symbols.size()) {
    if (const auto code = hostCodeForKeySym(symbols[group])) return code;
  }
  for (std::size_t other = 0; other < symbols.size(); ++other) {
    if (other == group || symbols[other] < kFirstLatin1 || symbols[other] > kLastLatin1) continue;
    if (const auto code = hostCodeForKeySym(symbols[other])) return code;
  }
  return std::nullopt;
}

struct XInputEventTap::Delivery {
  std::mutex lock;
  RunLoop* loop = nullptr;
  bool enabled = true;
  bool invalidated = false;
  EventMask mask = 0;
  EventTapCallback callback;

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

struct XInputEventTap::Reader {
  explicit Reader(Display* x) : keyboard(x), buttons(x) {}

  int opcode = 0;
  std::shared_ptr<PostedEventMarks> mark;
  std::set<int> injectingDevices;
  KeyboardGroups keyboard;
  ButtonMaps buttons;
  std::map<int, EventFlags> modifierKeysDown;  // key code -> the flag it holds
  EventFlags flags = 0;
  // Left buttons down, by source device and raw button, with the process their press went to.
  std::map<std::pair<int, int>, std::int64_t> leftButtonsDown;
  Time lastPress = 0;
  ScreenPoint lastPressAt;
  std::int64_t clicks = 0;
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
  auto reader = std::make_unique<Reader>(x);
  reader->opcode = opcode;
  reader->mark = std::move(mark);
  int count = 0;
  if (XIDeviceInfo* devices = XIQueryDevice(x, XIAllDevices, &count)) {
    for (int i = 0; i < count; ++i) {
      if (devices[i].name != nullptr && std::strstr(devices[i].name, "XTEST") != nullptr) {
        reader->injectingDevices.insert(devices[i].deviceid);
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
  return std::shared_ptr<XInputEventTap>(
      new XInputEventTap(std::move(display), delivery, std::move(reader), wake));
}

XInputEventTap::XInputEventTap(std::unique_ptr<X11Display> display,
                               std::shared_ptr<Delivery> delivery, std::unique_ptr<Reader> reader,
                               int wake)
    : display_(std::move(display)),
      delivery_(std::move(delivery)),
      state_(std::move(reader)),
      wake_(wake) {
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
  Reader& r = *state_;
  // The mask is set before this thread starts. Finding a target takes a few round trips: only
  // for events that will be delivered.
  const EventMask mask = delivery_->mask;
  const auto target = [&](std::initializer_list<EventType> types, auto&& client) -> std::int64_t {
    for (const EventType type : types) {
      if ((mask & eventMaskBit(type)) != 0) return pidOf(*display_, client());
    }
    return 0;
  };
  const bool buttonsWanted =
      (mask & (eventMaskBit(EventType::leftMouseDown) | eventMaskBit(EventType::leftMouseUp) |
               eventMaskBit(EventType::scrollWheel))) != 0;
  const auto focused = [&] { return display_->focusedClient(); };
  const auto underPointer = [&] { return display_->clientUnderPointer(); };
  for (;;) {
    {
      std::lock_guard guard(delivery_->lock);
      if (delivery_->invalidated) return;
    }
    // A lost connection stays readable for good: the tap has nothing more to hear.
    if (display_->lost()) return;
    if (XPending(x) == 0) {
      pollfd fds[2] = {{ConnectionNumber(x), POLLIN, 0}, {wake_, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents != 0) return;
      if (XPending(x) == 0) continue;
    }
    XEvent event;
    XNextEvent(x, &event);
    if (r.keyboard.handle(event)) continue;
    if (event.type == MappingNotify) {
      if (event.xmapping.request == MappingPointer) r.buttons.reloadCore();
      continue;
    }
    if (event.xcookie.type != GenericEvent || event.xcookie.extension != r.opcode) continue;
    if (!XGetEventData(x, &event.xcookie)) continue;
    const auto* raw = static_cast<const XIRawEvent*>(event.xcookie.data);
    const int kind = event.xcookie.evtype;
    Window rootReturn = None, child = None;
    int rootX = 0, rootY = 0, winX = 0, winY = 0;
    unsigned int state = 0;
    XQueryPointer(x, DefaultRootWindow(x), &rootReturn, &child, &rootX, &rootY, &winX, &winY,
                  &state);
    const ScreenPoint at{static_cast<double>(rootX), static_cast<double>(rootY)};
    const bool button = (kind == XI_RawButtonPress || kind == XI_RawButtonRelease) && buttonsWanted;
    const unsigned logical =
        button ? r.buttons.logical(raw->sourceid, static_cast<unsigned>(raw->detail)) : 0;
    const auto heldLeft = r.leftButtonsDown.find({raw->sourceid, raw->detail});
    std::shared_ptr<TappedEvent> tapped;
    if (kind == XI_RawKeyPress || kind == XI_RawKeyRelease) {
      const bool down = kind == XI_RawKeyPress;
      const auto [symbols, group] = r.keyboard.symbols(static_cast<unsigned>(raw->detail));
      const KeySym symbol = group < symbols.size() ? symbols[group] : NoSymbol;
      if (const EventFlags flag = modifierFlagOf(symbol)) {
        if (down) r.modifierKeysDown[raw->detail] = flag;
        else r.modifierKeysDown.erase(raw->detail);
        r.flags = 0;
        for (const auto& [key, held] : r.modifierKeysDown) r.flags |= held;
      }
      tapped = std::make_shared<TappedEvent>(down ? EventType::keyDown : EventType::keyUp,
                                             r.flags, at);
      tapped->keyCode = hostCodeOfKey(symbols, group).value_or(0xFFFF);
      tapped->targetPid = target({tapped->type()}, focused);
    } else if (kind == XI_RawButtonPress && logical == kPrimaryButton) {
      const bool near = std::abs(at.x - r.lastPressAt.x) <= kMultipleClickDistance &&
                        std::abs(at.y - r.lastPressAt.y) <= kMultipleClickDistance;
      r.clicks = (r.clicks > 0 && near && raw->time - r.lastPress <= kMultipleClickInterval)
                     ? r.clicks + 1
                     : 1;
      r.lastPress = raw->time;
      r.lastPressAt = at;
      tapped = std::make_shared<TappedEvent>(EventType::leftMouseDown, r.flags, at);
      tapped->clickState = r.clicks;
      tapped->targetPid =
          target({EventType::leftMouseDown, EventType::leftMouseUp}, underPointer);
      r.leftButtonsDown[{raw->sourceid, raw->detail}] = tapped->targetPid;
    } else if (kind == XI_RawButtonRelease &&
               (heldLeft != r.leftButtonsDown.end() || logical == kPrimaryButton)) {
      // The release of the button whose press was the left one, even if the map changed since
      // (the server refuses that while the button is down, but a tap may start in between).
      tapped = std::make_shared<TappedEvent>(EventType::leftMouseUp, r.flags, at);
      tapped->clickState = r.clicks;
      if (heldLeft != r.leftButtonsDown.end()) {
        tapped->targetPid = heldLeft->second;
        r.leftButtonsDown.erase(heldLeft);
      } else {
        tapped->targetPid = target({EventType::leftMouseUp}, underPointer);
      }
    } else if (kind == XI_RawButtonPress && logical >= kFirstWheelButton &&
               logical <= kLastWheelButton) {
      tapped = std::make_shared<TappedEvent>(EventType::scrollWheel, r.flags, at);
      tapped->targetPid = target({EventType::scrollWheel}, underPointer);
    } else if (kind == XI_RawMotion) {
      tapped = std::make_shared<TappedEvent>(EventType::mouseMoved, r.flags, at);
    }
    const bool transition = kind != XI_RawMotion;
    if (transition && r.injectingDevices.count(raw->sourceid) != 0) {
      // Every injected transition takes its mark, also one the tap does not report (a wheel
      // release, another button), so that it is not left for another client's like it.
      const XTestTransition seen{kind == XI_RawButtonPress || kind == XI_RawButtonRelease,
                                 static_cast<unsigned>(raw->detail),
                                 kind == XI_RawKeyPress || kind == XI_RawButtonPress};
      const std::int64_t mark = r.mark->take(seen, raw->time);
      if (tapped) tapped->userData = mark;
    }
    const Time serverTime = raw->time;
    XFreeEventData(x, &event.xcookie);
    if (tapped) Delivery::deliver(delivery_, std::move(tapped), serverTime);
  }
}

}  // namespace orvix::platform::linux_desktop
