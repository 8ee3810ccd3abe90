// What the X11 binding's event tap reads from the user's input, and whom it says windows belong
// to, on the fixture desktop of tests/support/x11/private_desktop.py: keys under keyboard
// layouts other than the first, left-handed button maps, the process an event goes to, and the
// owner of a window that names no process. Each case puts back what it changed.
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

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/desktop/x11_display.h"
#include "tests/platform/conformance/desktop_world.h"

namespace orvix::platform::conformance {
namespace {

constexpr std::int64_t kHostC = 8;
constexpr std::int64_t kHostY = 16;
constexpr std::int64_t kHostZ = 6;
constexpr std::int64_t kHostShift = 56;

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

void chord(Display* x, const std::vector<KeyCode>& keys) {
  for (const KeyCode key : keys) XTestFakeKeyEvent(x, key, True, CurrentTime);
  for (auto key = keys.rbegin(); key != keys.rend(); ++key) XTestFakeKeyEvent(x, *key, False, 0);
  XSync(x, False);
}

void click(Display* x, unsigned physicalButton) {
  XTestFakeButtonEvent(x, physicalButton, True, CurrentTime);
  XTestFakeButtonEvent(x, physicalButton, False, CurrentTime);
  XSync(x, False);
}

// The layouts given (setxkbmap -layout) for the life of the object; then the server's
// setxkbmap settings and locked group as they were.
class KeyboardLayouts {
 public:
  KeyboardLayouts(Display* x, const std::string& layouts) : x_(x) {
    XkbStateRec state{};
    XkbGetState(x_, XkbUseCoreKbd, &state);
    savedGroup_ = state.locked_group;
    if (FILE* query = ::popen("setxkbmap -query", "r")) {
      std::array<char, 512> name{}, value{};
      while (std::fscanf(query, "%511s %511s", name.data(), value.data()) == 2) {
        const std::string option = std::string(name.data()) == "options:" ? "option:" : name.data();
        restore_ += " -" + option.substr(0, option.size() - 1) + " '" + value.data() + "'";
      }
      ::pclose(query);
    }
    applied_ = restore_.find(" -layout ") != std::string::npos &&
               std::system(("setxkbmap -layout " + layouts).c_str()) == 0;
  }
  ~KeyboardLayouts() {
    EXPECT_EQ(std::system(restore_.c_str()), 0) << restore_;
    lockGroup(savedGroup_);
  }

  bool applied() const { return applied_; }
  void lockGroup(unsigned group) {
    XkbLockGroup(x_, XkbUseCoreKbd, group);
    XSync(x_, False);
  }

 private:
  Display* x_;
  std::string restore_ = "setxkbmap -option ''";
  unsigned savedGroup_ = 0;
  bool applied_ = false;
};

// The core pointer's button map (as xmodmap sets it) and the XTest pointer device's own (as
// xinput set-button-map does), with the first three buttons swapped or not; both as they were
// afterwards.
class ButtonMaps {
 public:
  explicit ButtonMaps(Display* x) : x_(x) {
    int count = 0;
    if (XIDeviceInfo* devices = XIQueryDevice(x_, XIAllDevices, &count)) {
      for (int i = 0; i < count && device_ == nullptr; ++i) {
        if (devices[i].use == XISlavePointer &&
            std::string(devices[i].name).find("XTEST") != std::string::npos) {
          device_ = XOpenDevice(x_, static_cast<XID>(devices[i].deviceid));
        }
      }
      XIFreeDeviceInfo(devices);
    }
    core_ = read(nullptr);
    if (device_ != nullptr) deviceMap_ = read(device_);
  }
  ~ButtonMaps() {
    leftHandedCore(false);
    if (device_ == nullptr) return;
    leftHandedDevice(false);
    XCloseDevice(x_, device_);
  }

  bool ready() const { return core_.size() >= 3 && deviceMap_.size() >= 3; }
  void leftHandedCore(bool swapped) { set(nullptr, swappedIf(core_, swapped)); }
  void leftHandedDevice(bool swapped) { set(device_, swappedIf(deviceMap_, swapped)); }

 private:
  static std::vector<unsigned char> swappedIf(std::vector<unsigned char> map, bool swapped) {
    if (swapped) std::swap(map[0], map[2]);
    return map;
  }
  std::vector<unsigned char> read(XDevice* device) {
    std::array<unsigned char, 256> map{};
    const int count = device == nullptr ? XGetPointerMapping(x_, map.data(), 256)
                                        : XGetDeviceButtonMapping(x_, device, map.data(), 256);
    return {map.begin(), map.begin() + std::max(count, 0)};
  }
  // The server refuses (MappingBusy) while a button that would change is down.
  void set(XDevice* device, std::vector<unsigned char> map) {
    const int size = static_cast<int>(map.size());
    for (int attempt = 0; attempt < 50; ++attempt) {
      const int result = device == nullptr ? XSetPointerMapping(x_, map.data(), size)
                                           : XSetDeviceButtonMapping(x_, device, map.data(), size);
      if (result == MappingSuccess) return (void)XSync(x_, False);
      ::usleep(20'000);
    }
    ADD_FAILURE() << "a button map could not be set";
  }

  Display* x_;
  XDevice* device_ = nullptr;
  std::vector<unsigned char> core_, deviceMap_;
};

struct Tapped {
  EventType type;
  std::int64_t keyCode;
  EventFlags flags;
  std::int64_t pid;
};

bool isCommand(const std::optional<Tapped>& event) {
  return event && (event->flags & kEventFlagCommand) != 0 && (event->flags & kEventFlagShift) == 0;
}

// Each case on the fixture desktop with the fixture application in front, a connection of its
// own to press keys and buttons through XTest, and a listen-only tap of the binding.
class X11InputIdentity : public ::testing::Test {
 protected:
  void SetUp() override {
    world = makeX11World();
    ASSERT_TRUE(world);
    x = XOpenDisplay(nullptr);
    ASSERT_NE(x, nullptr);
  }
  void TearDown() override {
    if (tap) tap->invalidate();
    if (x != nullptr) XCloseDisplay(x);
  }

  // A tap for `mask` and key downs, already hearing this connection's keys: its selection
  // travels on a connection of its own, so Shift until it sees one.
  void listen(EventMask mask) {
    if (tap) tap->invalidate();
    tap = world->desktop().inputEvents.createListenOnlySessionTap(
        mask | eventMaskBit(EventType::keyDown), [this](std::uint32_t type, const InputEvent& e) {
          seen.push_back({static_cast<EventType>(type),
                          e.integerField(EventField::keyboardEventKeycode), e.flags(),
                          e.integerField(EventField::eventTargetUnixProcessID)});
        });
    ASSERT_TRUE(tap);
    tap->addRunLoopSource(world->loop());
    bool ready = false;
    for (int attempt = 0; attempt < 10 && !ready; ++attempt) {
      chord(x, {keyCodeOf(x, XK_Shift_L)});
      ready = world->waitFor([&] { return count(EventType::keyDown, kHostShift) > 0; });
    }
    ASSERT_TRUE(ready);
    seen.clear();
  }
  // A window of this connection's own, gone with it: it names no process (no _NET_WM_PID) and
  // takes its own clicks, so a press on it reaches neither the fixture nor the window manager.
  Window ownWindow(bool managed) {
    XSetWindowAttributes attributes{};
    attributes.override_redirect = managed ? False : True;
    attributes.event_mask = ButtonPressMask | ButtonReleaseMask;
    const Window window =
        XCreateWindow(x, DefaultRootWindow(x), 300, 250, 320, 200, 0, CopyFromParent, InputOutput,
                      CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
    XStoreName(x, window, "Orvix identity probe");
    XMapRaised(x, window);
    XSync(x, False);
    return window;
  }
  void pointAt(Window window) {
    XWarpPointer(x, None, window, 0, 0, 0, 0, 160, 100);
    XSync(x, False);
  }
  // The chord, heard afresh.
  void press(const std::vector<KeyCode>& keys) {
    seen.clear();
    chord(x, keys);
  }
  std::size_t count(EventType type, std::optional<std::int64_t> keyCode = std::nullopt) const {
    return std::count_if(seen.begin(), seen.end(), [&](const Tapped& event) {
      return event.type == type && (!keyCode || event.keyCode == *keyCode);
    });
  }
  // The first key down with this host code, once the tap reported it.
  std::optional<Tapped> keyDown(std::int64_t keyCode) {
    world->waitFor([&] { return count(EventType::keyDown, keyCode) > 0; });
    for (const auto& event : seen) {
      if (event.type == EventType::keyDown && event.keyCode == keyCode) return event;
    }
    return std::nullopt;
  }
  // Whether `keys` under `group` are heard as Command plus the host key `expected`.
  bool heardAsCommand(KeyboardLayouts& keyboard, unsigned group, const std::vector<KeyCode>& keys,
                      std::int64_t expected) {
    keyboard.lockGroup(group);
    press(keys);
    return isCommand(keyDown(expected));
  }

  std::unique_ptr<DesktopWorld> world;
  Display* x = nullptr;
  std::shared_ptr<EventTap> tap;
  std::vector<Tapped> seen;
};

TEST_F(X11InputIdentity, KeysAreReadInTheCurrentGroupAndControlCIsCommandCOnAnyLayout) {
  listen(eventMaskBit(EventType::keyDown));
  // The key of the us group's letter, and what it is in the first group and in us: on ru or gr
  // it types с or ψ, and Control with it is still Command+C; on de the key of US Z types y.
  struct Layouts {
    const char* names;
    const char* letter;
    std::int64_t inFirst, inUs;
  };
  for (const Layouts& layouts :
       {Layouts{"ru,us", "c", kHostC, kHostC}, Layouts{"gr,us", "c", kHostC, kHostC},
        Layouts{"de,us", "z", kHostY, kHostZ}}) {
    SCOPED_TRACE(layouts.names);
    KeyboardLayouts keyboard(x, layouts.names);
    ASSERT_TRUE(keyboard.applied());
    const std::vector<KeyCode> keys{keyCodeOf(x, XK_Control_L),
                                    keyCodeOf(x, XStringToKeysym(layouts.letter), 1)};
    ASSERT_NE(keys[1], 0);
    EXPECT_TRUE(heardAsCommand(keyboard, 0, keys, layouts.inFirst));
    EXPECT_TRUE(heardAsCommand(keyboard, 1, keys, layouts.inUs));
    // A third-party XTest client, which switches the group to one with the letter for the key.
    keyboard.lockGroup(0);
    seen.clear();
    ASSERT_EQ(std::system((std::string("xdotool key ctrl+") + layouts.letter).c_str()), 0);
    EXPECT_TRUE(isCommand(keyDown(layouts.inUs)));
  }
}

TEST_F(X11InputIdentity, LeftHandedButtonMapsMakeThePrimaryButtonLeft) {
  pointAt(ownWindow(/*managed=*/false));
  listen(eventMaskBit(EventType::leftMouseDown) | eventMaskBit(EventType::leftMouseUp));
  ButtonMaps maps(x);
  ASSERT_TRUE(maps.ready());

  // The physical button that should be the left one, the other, then the left one again: only
  // the two left clicks are reported.
  const auto onlyLeftClicks = [&](unsigned left, unsigned other) {
    seen.clear();
    for (const unsigned button : {left, other, left}) click(x, button);
    EXPECT_TRUE(world->waitFor([&] { return count(EventType::leftMouseUp) >= 2; })) << left;
    EXPECT_EQ(count(EventType::leftMouseDown), 2u) << left;
    EXPECT_EQ(count(EventType::leftMouseUp), 2u) << left;
  };
  maps.leftHandedCore(true);
  onlyLeftClicks(3, 1);
  // The binding's own left click presses the primary button as well.
  seen.clear();
  InputEvents& events = world->desktop().inputEvents;
  const ScreenPoint at = events.createEvent(nullptr)->location();
  for (const EventType type : {EventType::leftMouseDown, EventType::leftMouseUp}) {
    events.post(EventTapLocation::hid,
                *events.createMouseEvent(nullptr, type, at, MouseButton::left));
  }
  EXPECT_TRUE(world->waitFor([&] { return count(EventType::leftMouseUp) >= 1; }));
  EXPECT_EQ(count(EventType::leftMouseDown), 1u);
  maps.leftHandedCore(false);
  maps.leftHandedDevice(true);
  onlyLeftClicks(3, 1);
  // Swapped by both maps: back to the first button.
  maps.leftHandedCore(true);
  onlyLeftClicks(1, 3);
}

TEST_F(X11InputIdentity, TappedKeysCarryTheFocusedClientsProcess) {
  listen(eventMaskBit(EventType::keyDown));
  press({keyCodeOf(x, XK_Shift_L)});
  const auto shift = keyDown(kHostShift);
  ASSERT_TRUE(shift);
  EXPECT_EQ(shift->pid, world->applicationPid());
}

TEST_F(X11InputIdentity, AWindowThatNamesNoProcessBelongsToItsOwner) {
  const auto display = linux_desktop::X11Display::open();
  ASSERT_TRUE(display);
  const ProcessId self = ::getpid();
  const Window window = ownWindow(/*managed=*/true);
  // The server knows the owner before any window manager has seen the window.
  EXPECT_EQ(display->windowPid(window), self);
  EXPECT_FALSE(display->windowPid(display->root()));

  const Atom wmState = display->atom("WM_STATE");
  ASSERT_TRUE(world->waitFor([&] {
    return display->longs(window, wmState, wmState, 1).has_value() && display->viewable(window);
  }));
  Workspace& workspace = world->desktop().workspace;
  ASSERT_TRUE(workspace.activate(self, 0));
  EXPECT_TRUE(world->waitFor([&] { return display->focusedClient() == window; }));
  EXPECT_TRUE(world->waitFor([&] { return display->activePid() == self; }));
  const auto front = workspace.frontmostApplication();
  EXPECT_TRUE(front && front->pid == self);
  const auto windows = world->desktop().windowList.onScreenWindows();
  ASSERT_TRUE(windows && !windows->empty());
  EXPECT_EQ(windows->front().ownerPid, self);

  // A _NET_WM_PID that says otherwise does not change the server's answer.
  const long claimed = world->applicationPid();
  XChangeProperty(x, window, XInternAtom(x, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&claimed), 1);
  XSync(x, False);
  EXPECT_EQ(display->windowPid(window), self);

  // Keys go to the focused window, a press to the window under the pointer: both are ours.
  listen(eventMaskBit(EventType::leftMouseDown) | eventMaskBit(EventType::leftMouseUp));
  press({keyCodeOf(x, XK_Shift_L)});
  const auto shift = keyDown(kHostShift);
  ASSERT_TRUE(shift);
  EXPECT_EQ(shift->pid, self);
  pointAt(window);
  seen.clear();
  click(x, 1);
  ASSERT_TRUE(world->waitFor([&] { return count(EventType::leftMouseUp) > 0; }));
  for (const auto& event : seen) EXPECT_EQ(event.pid, self);
}

}  // namespace
}  // namespace orvix::platform::conformance
