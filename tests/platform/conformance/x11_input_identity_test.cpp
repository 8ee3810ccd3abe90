// What the X11 binding's event tap reads from the user's input, and whom it says windows belong
// to, on the fixture desktop of tests/support/x11/private_desktop.py: keys under keyboard
// layouts other than the first, left-handed button maps, the process an event goes to, and the
// owner of a window that names no process. Each case puts back the keymap, button maps and
// windows it changed.
//
// gtest first: Xlib's macros (None, Bool) would break its headers.
#include <gtest/gtest.h>

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/linux/desktop/x11_display.h"
#include "tests/platform/conformance/desktop_world.h"

namespace orvix::platform::conformance {
namespace {

using linux_desktop::X11Display;

constexpr std::int64_t kHostC = 8;
constexpr std::int64_t kHostY = 16;
constexpr std::int64_t kHostZ = 6;
constexpr std::int64_t kHostShift = 56;

struct DisplayCloser {
  void operator()(Display* display) const { XCloseDisplay(display); }
};
using Connection = std::unique_ptr<Display, DisplayCloser>;

// The key that types `symbol` at the first level of group `only` (else of any group), from the
// server's keymap now (Xlib's own copy goes stale when another client changes the layout).
KeyCode keyCodeOf(Display* x, KeySym symbol, std::optional<int> only = std::nullopt) {
  XkbDescPtr map = XkbGetMap(x, XkbKeySymsMask, XkbUseCoreKbd);
  if (map == nullptr) return 0;
  KeyCode found = 0;
  for (int key = map->min_key_code; key <= map->max_key_code && found == 0; ++key) {
    const auto code = static_cast<KeyCode>(key);
    for (int group = 0; group < XkbKeyNumGroups(map, code) && found == 0; ++group) {
      if ((!only || group == *only) && XkbKeySymEntry(map, code, 0, group) == symbol) found = code;
    }
  }
  XkbFreeKeyboard(map, 0, True);
  return found;
}

// Presses the keys in order through XTest and releases them in reverse, as a user's chord.
void chord(Display* x, const std::vector<KeyCode>& keys) {
  for (const KeyCode key : keys) XTestFakeKeyEvent(x, key, True, CurrentTime);
  for (auto key = keys.rbegin(); key != keys.rend(); ++key) XTestFakeKeyEvent(x, *key, False, CurrentTime);
  XSync(x, False);
}

void click(Display* x, unsigned physicalButton) {
  XTestFakeButtonEvent(x, physicalButton, True, CurrentTime);
  XTestFakeButtonEvent(x, physicalButton, False, CurrentTime);
  XSync(x, False);
}

// The layouts given, as `setxkbmap -layout` sets them, for the life of the object; then the
// server's rules, model, layouts, variants, options and locked group as they were.
class KeyboardLayouts {
 public:
  KeyboardLayouts(Display* x, const std::string& layouts) : x_(x) {
    if (FILE* query = ::popen("setxkbmap -query", "r")) {
      std::array<char, 512> line{};
      while (std::fgets(line.data(), static_cast<int>(line.size()), query) != nullptr) {
        std::istringstream fields(line.data());
        std::string name, value;
        fields >> name >> value;
        if (!name.empty() && name.back() == ':') saved_[name.substr(0, name.size() - 1)] = value;
      }
      ::pclose(query);
    }
    XkbStateRec state{};
    XkbGetState(x_, XkbUseCoreKbd, &state);
    savedGroup_ = state.locked_group;
    applied_ = !saved_.empty() && std::system(("setxkbmap -layout " + layouts).c_str()) == 0;
  }
  ~KeyboardLayouts() {
    std::string restore = "setxkbmap -option ''";
    for (const char* part : {"rules", "model", "layout", "variant"}) {
      if (const auto found = saved_.find(part); found != saved_.end()) {
        restore += std::string(" -") + part + " '" + found->second + "'";
      }
    }
    if (const auto options = saved_.find("options"); options != saved_.end()) {
      restore += " -option '" + options->second + "'";
    }
    EXPECT_EQ(std::system(restore.c_str()), 0) << restore;
    lockGroup(savedGroup_);
  }
  KeyboardLayouts(const KeyboardLayouts&) = delete;
  KeyboardLayouts& operator=(const KeyboardLayouts&) = delete;

  bool applied() const { return applied_; }
  void lockGroup(unsigned group) {
    XkbLockGroup(x_, XkbUseCoreKbd, group);
    XSync(x_, False);
  }

 private:
  Display* x_;
  std::map<std::string, std::string> saved_;
  unsigned savedGroup_ = 0;
  bool applied_ = false;
};

// The XTest pointer device, which XTestFakeButtonEvent presses through.
XID xtestPointer(Display* x) {
  XID id = 0;
  int count = 0;
  if (XIDeviceInfo* devices = XIQueryDevice(x, XIAllDevices, &count)) {
    for (int i = 0; i < count; ++i) {
      if (devices[i].use == XISlavePointer && std::string(devices[i].name).find("XTEST") != std::string::npos) {
        id = static_cast<XID>(devices[i].deviceid);
      }
    }
    XIFreeDeviceInfo(devices);
  }
  return id;
}

// Button maps set for the life of the object: the core pointer's (xmodmap) and the XTest
// pointer device's own (xinput set-button-map); both as they were afterwards.
class ButtonMaps {
 public:
  explicit ButtonMaps(Display* x) : x_(x) {
    core_ = read(nullptr);
    int major = 2, minor = 2;
    XIQueryVersion(x_, &major, &minor);
    device_ = XOpenDevice(x_, xtestPointer(x_));
    if (device_ != nullptr) deviceMap_ = read(device_);
  }
  ~ButtonMaps() {
    setCore(core_);
    if (device_ != nullptr) {
      setDevice(deviceMap_);
      XCloseDevice(x_, device_);
    }
    XSync(x_, False);
  }
  ButtonMaps(const ButtonMaps&) = delete;
  ButtonMaps& operator=(const ButtonMaps&) = delete;

  bool ready() const { return core_.size() >= 3 && device_ != nullptr && deviceMap_.size() >= 3; }
  // The first three buttons swapped (pointer = 3 2 1), or as they were.
  void leftHandedCore(bool swapped) { setCore(swappedIf(core_, swapped)); }
  void leftHandedDevice(bool swapped) { setDevice(swappedIf(deviceMap_, swapped)); }

 private:
  static std::vector<unsigned char> swappedIf(std::vector<unsigned char> map, bool swapped) {
    if (swapped) {
      map[0] = 3;
      map[2] = 1;
    }
    return map;
  }
  std::vector<unsigned char> read(XDevice* device) {
    std::array<unsigned char, 256> map{};
    const int count = device == nullptr ? XGetPointerMapping(x_, map.data(), 256)
                                        : XGetDeviceButtonMapping(x_, device, map.data(), 256);
    return {map.begin(), map.begin() + std::max(count, 0)};
  }
  // The server refuses (MappingBusy) while a button that would change is down.
  void setCore(std::vector<unsigned char> map) {
    for (int attempt = 0; attempt < 50; ++attempt) {
      if (XSetPointerMapping(x_, map.data(), static_cast<int>(map.size())) == MappingSuccess) return;
      ::usleep(20'000);
    }
    ADD_FAILURE() << "the core pointer map could not be set";
  }
  void setDevice(std::vector<unsigned char> map) {
    for (int attempt = 0; attempt < 50; ++attempt) {
      if (XSetDeviceButtonMapping(x_, device_, map.data(), static_cast<int>(map.size())) ==
          MappingSuccess) {
        return;
      }
      ::usleep(20'000);
    }
    ADD_FAILURE() << "the XTest pointer's button map could not be set";
  }

  Display* x_;
  std::vector<unsigned char> core_;
  XDevice* device_ = nullptr;
  std::vector<unsigned char> deviceMap_;
};

// A window of this process's own connection: it names no process (no _NET_WM_PID) and takes
// its own clicks, so a press on it reaches neither the fixture nor the window manager's root
// menu. Destroyed with the object.
class OwnWindow {
 public:
  OwnWindow(Display* x, bool managed) : x_(x) {
    XSetWindowAttributes attributes{};
    attributes.override_redirect = managed ? False : True;
    attributes.event_mask = ButtonPressMask | ButtonReleaseMask;
    window_ = XCreateWindow(x_, DefaultRootWindow(x_), 300, 250, 320, 200, 0, CopyFromParent,
                            InputOutput, CopyFromParent, CWOverrideRedirect | CWEventMask,
                            &attributes);
    XStoreName(x_, window_, "Orvix identity probe");
    XMapRaised(x_, window_);
    XSync(x_, False);
  }
  ~OwnWindow() {
    XDestroyWindow(x_, window_);
    XSync(x_, False);
  }
  OwnWindow(const OwnWindow&) = delete;
  OwnWindow& operator=(const OwnWindow&) = delete;

  Window id() const { return window_; }
  void pointAtCentre() {
    int rootX = 0, rootY = 0;
    Window child = None;
    XTranslateCoordinates(x_, window_, DefaultRootWindow(x_), 160, 100, &rootX, &rootY, &child);
    XWarpPointer(x_, None, DefaultRootWindow(x_), 0, 0, 0, 0, rootX, rootY);
    XSync(x_, False);
  }

 private:
  Display* x_;
  Window window_ = None;
};

struct Tapped {
  EventType type;
  std::int64_t keyCode;
  EventFlags flags;
  std::int64_t pid;
};

// What a listen-only tap of the binding reports while the world's loop runs.
class TapRecorder {
 public:
  TapRecorder(DesktopWorld& world, Display* x, EventMask mask) : world_(world) {
    mask |= eventMaskBit(EventType::keyDown);
    tap_ = world.desktop().inputEvents.createListenOnlySessionTap(
        mask, [this](std::uint32_t type, const InputEvent& event) {
          seen.push_back({static_cast<EventType>(type),
                          event.integerField(EventField::keyboardEventKeycode), event.flags(),
                          event.integerField(EventField::eventTargetUnixProcessID)});
        });
    if (!tap_) return;
    tap_->addRunLoopSource(world.loop());
    // The tap's selection travels on a connection of its own: Shift until the tap sees it.
    const KeyCode shift = keyCodeOf(x, XK_Shift_L);
    for (int attempt = 0; attempt < 10 && !ready_; ++attempt) {
      chord(x, {shift});
      ready_ = world.waitFor([&] { return count(EventType::keyDown, kHostShift) > 0; });
    }
    seen.clear();
  }
  ~TapRecorder() {
    if (tap_) tap_->invalidate();
  }
  TapRecorder(const TapRecorder&) = delete;
  TapRecorder& operator=(const TapRecorder&) = delete;

  bool ready() const { return ready_; }
  std::size_t count(EventType type, std::optional<std::int64_t> keyCode = std::nullopt) const {
    std::size_t found = 0;
    for (const auto& event : seen) {
      if (event.type == type && (!keyCode || event.keyCode == *keyCode)) ++found;
    }
    return found;
  }
  // The first key down with this host code, once the tap reported it.
  std::optional<Tapped> keyDown(std::int64_t keyCode) {
    std::optional<Tapped> found;
    world_.waitFor([&] {
      for (const auto& event : seen) {
        if (event.type == EventType::keyDown && event.keyCode == keyCode) found = event;
      }
      return found.has_value();
    });
    return found;
  }

  std::vector<Tapped> seen;

 private:
  DesktopWorld& world_;
  std::shared_ptr<EventTap> tap_;
  bool ready_ = false;
};

bool isCommandC(const std::optional<Tapped>& event) {
  return event && (event->flags & kEventFlagCommand) != 0 && (event->flags & kEventFlagShift) == 0;
}

// Each case on the fixture desktop with the fixture application in front, a connection of its
// own to press keys and buttons through XTest, and a tap of the binding to hear them.
class X11InputIdentity : public ::testing::Test {
 protected:
  void SetUp() override {
    world = makeX11World();
    ASSERT_TRUE(world);
    x.reset(XOpenDisplay(nullptr));
    ASSERT_TRUE(x);
  }

  // A tap for `mask` (and key downs), already hearing this connection's keys.
  void listen(EventMask mask) {
    tap = std::make_unique<TapRecorder>(*world, x.get(), mask);
    ASSERT_TRUE(tap->ready());
  }
  // The chord, heard afresh.
  void press(const std::vector<KeyCode>& keys) {
    tap->seen.clear();
    chord(x.get(), keys);
  }

  std::unique_ptr<DesktopWorld> world;
  Connection x;
  std::unique_ptr<TapRecorder> tap;
};

TEST_F(X11InputIdentity, ControlCOnACyrillicOrGreekLayoutIsCommandC) {
  listen(eventMaskBit(EventType::keyDown));
  for (const std::string layouts : {"ru,us", "gr,us"}) {
    SCOPED_TRACE(layouts);
    KeyboardLayouts keyboard(x.get(), layouts);
    ASSERT_TRUE(keyboard.applied());
    const KeyCode control = keyCodeOf(x.get(), XK_Control_L);
    const KeyCode c = keyCodeOf(x.get(), XK_c, 1);  // the us group's
    ASSERT_NE(control, 0);
    ASSERT_NE(c, 0);

    // Locked to the first layout, the key types с or ψ: the copy is still Command+C.
    keyboard.lockGroup(0);
    press({control, c});
    EXPECT_TRUE(isCommandC(tap->keyDown(kHostC)));

    // A third-party XTest client (xdotool switches the group to one with a c for the key).
    tap->seen.clear();
    ASSERT_EQ(std::system("xdotool key ctrl+c"), 0);
    EXPECT_TRUE(isCommandC(tap->keyDown(kHostC)));

    // Locked to us, the key is c itself.
    keyboard.lockGroup(1);
    press({control, c});
    EXPECT_TRUE(isCommandC(tap->keyDown(kHostC)));
  }
}

TEST_F(X11InputIdentity, TheCurrentGroupDecidesBetweenLatinLayouts) {
  listen(eventMaskBit(EventType::keyDown));
  // German then US: the key of US Z types y in the German group.
  KeyboardLayouts keyboard(x.get(), "de,us");
  ASSERT_TRUE(keyboard.applied());
  const KeyCode control = keyCodeOf(x.get(), XK_Control_L);
  const KeyCode key = keyCodeOf(x.get(), XK_z, 1);
  ASSERT_NE(key, 0);
  keyboard.lockGroup(1);
  press({control, key});
  EXPECT_TRUE(tap->keyDown(kHostZ)) << "US group: the key is Z";
  EXPECT_EQ(tap->count(EventType::keyDown, kHostY), 0u);
  keyboard.lockGroup(0);
  press({control, key});
  EXPECT_TRUE(tap->keyDown(kHostY)) << "German group: the same key is Y";
  EXPECT_EQ(tap->count(EventType::keyDown, kHostZ), 0u);
}

TEST_F(X11InputIdentity, LeftHandedButtonMapsMakeThePrimaryButtonLeft) {
  OwnWindow target(x.get(), false);
  target.pointAtCentre();
  listen(eventMaskBit(EventType::leftMouseDown) | eventMaskBit(EventType::leftMouseUp));
  ButtonMaps maps(x.get());
  ASSERT_TRUE(maps.ready());

  // Each round: the physical button that should be the left one, then the other, then the left
  // one again; only the two left clicks are reported, press and release.
  const auto onlyLeftClicks = [&](unsigned left, unsigned other) {
    tap->seen.clear();
    click(x.get(), left);
    click(x.get(), other);
    click(x.get(), left);
    EXPECT_TRUE(world->waitFor([&] { return tap->count(EventType::leftMouseUp) >= 2; }))
        << "physical button " << left;
    EXPECT_EQ(tap->count(EventType::leftMouseDown), 2u);
    EXPECT_EQ(tap->count(EventType::leftMouseUp), 2u);
  };
  {
    SCOPED_TRACE("xmodmap -e 'pointer = 3 2 1'");
    maps.leftHandedCore(true);
    onlyLeftClicks(3, 1);
    // The binding's own left click presses the primary button as well.
    tap->seen.clear();
    InputEvents& events = world->desktop().inputEvents;
    const ScreenPoint at = events.createEvent(nullptr)->location();
    for (const EventType type : {EventType::leftMouseDown, EventType::leftMouseUp}) {
      events.post(EventTapLocation::hid, *events.createMouseEvent(nullptr, type, at, MouseButton::left));
    }
    EXPECT_TRUE(world->waitFor([&] { return tap->count(EventType::leftMouseUp) >= 1; }));
    EXPECT_EQ(tap->count(EventType::leftMouseDown), 1u);
    maps.leftHandedCore(false);
    onlyLeftClicks(1, 3);
  }
  {
    SCOPED_TRACE("xinput set-button-map on the device");
    maps.leftHandedDevice(true);
    onlyLeftClicks(3, 1);
  }
  {
    SCOPED_TRACE("both: swapped twice");
    maps.leftHandedCore(true);
    onlyLeftClicks(1, 3);
  }
}

TEST_F(X11InputIdentity, TappedKeysCarryTheFocusedClientsProcess) {
  const auto display = X11Display::open();
  ASSERT_TRUE(display);
  const auto focused = display->focusedClient();
  ASSERT_TRUE(focused);
  EXPECT_EQ(display->windowPid(*focused), world->applicationPid());

  listen(eventMaskBit(EventType::keyDown));
  press({keyCodeOf(x.get(), XK_Shift_L)});
  const auto shift = tap->keyDown(kHostShift);
  ASSERT_TRUE(shift);
  EXPECT_EQ(shift->pid, world->applicationPid());
}

TEST_F(X11InputIdentity, AWindowThatNamesNoProcessBelongsToItsOwner) {
  const auto display = X11Display::open();
  ASSERT_TRUE(display);
  const ProcessId self = ::getpid();
  OwnWindow window(x.get(), true);

  // The server knows the owner before any window manager has seen the window.
  EXPECT_EQ(display->windowPid(window.id()), self);
  EXPECT_FALSE(display->windowPid(display->root()));

  // Managed (WM_STATE), then brought to the front by its owner's process.
  const Atom wmState = display->atom("WM_STATE");
  ASSERT_TRUE(world->waitFor([&] {
    return display->longs(window.id(), wmState, wmState, 1).has_value() && display->viewable(window.id());
  }));
  Workspace& workspace = world->desktop().workspace;
  ASSERT_TRUE(workspace.activate(self, 0));
  // The window manager focuses the window, then names it active.
  EXPECT_TRUE(world->waitFor([&] { return display->focusedClient() == window.id(); }));
  EXPECT_TRUE(world->waitFor([&] { return display->activePid() == self; }));
  const auto front = workspace.frontmostApplication();
  ASSERT_TRUE(front);
  EXPECT_EQ(front->pid, self);
  const auto windows = world->desktop().windowList.onScreenWindows();
  ASSERT_TRUE(windows);
  ASSERT_FALSE(windows->empty());
  EXPECT_EQ(windows->front().ownerPid, self);

  // A _NET_WM_PID that says otherwise does not change the server's answer.
  const long claimed = world->applicationPid();
  XChangeProperty(x.get(), window.id(), XInternAtom(x.get(), "_NET_WM_PID", False), XA_CARDINAL,
                  32, PropModeReplace, reinterpret_cast<const unsigned char*>(&claimed), 1);
  XSync(x.get(), False);
  EXPECT_EQ(display->windowPid(window.id()), self);

  // Keys go to the focused window, a press to the window under the pointer: both are ours.
  listen(eventMaskBit(EventType::leftMouseDown) | eventMaskBit(EventType::leftMouseUp));
  press({keyCodeOf(x.get(), XK_Shift_L)});
  const auto shift = tap->keyDown(kHostShift);
  ASSERT_TRUE(shift);
  EXPECT_EQ(shift->pid, self);
  window.pointAtCentre();
  tap->seen.clear();
  click(x.get(), 1);
  ASSERT_TRUE(world->waitFor([&] { return tap->count(EventType::leftMouseUp) > 0; }));
  for (const auto& event : tap->seen) {
    if (event.type == EventType::leftMouseDown || event.type == EventType::leftMouseUp) {
      EXPECT_EQ(event.pid, self);
    }
  }
}

}  // namespace
}  // namespace orvix::platform::conformance
