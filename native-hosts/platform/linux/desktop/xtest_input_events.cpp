#include "platform/linux/desktop/xtest_input_events.h"

#include <X11/XKBlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <vector>

#include "platform/linux/desktop/key_mapping.h"
#include "platform/linux/desktop/terminal_windows.h"
#include "platform/linux/desktop/x11_server_time.h"
#include "platform/linux/desktop/xinput_event_tap.h"

namespace orvix::platform::linux_desktop {

namespace {

constexpr unsigned kLeftButton = 1;
constexpr unsigned kWheelUp = 4;
constexpr unsigned kWheelDown = 5;
constexpr std::int32_t kPixelsPerWheelStep = 10;
constexpr std::int32_t kMaximumWheelSteps = 100;

class XTestEvent final : public InputEvent {
 public:
  XTestEvent(EventType type, ScreenPoint location) : type_(type), location_(location) {}
  EventType type() const override { return type_; }
  EventFlags flags() const override { return flags_; }
  void setFlags(EventFlags flags) override { flags_ = flags; }
  std::int64_t integerField(EventField field) const override {
    const auto found = fields_.find(field);
    return found == fields_.end() ? 0 : found->second;
  }
  void setIntegerField(EventField field, std::int64_t value) override { fields_[field] = value; }
  ScreenPoint location() const override { return location_; }

  std::int32_t wheelSteps = 0;  // scroll events: positive is up

 private:
  EventType type_;
  ScreenPoint location_;
  EventFlags flags_ = 0;
  std::map<EventField, std::int64_t> fields_;
};

class XTestSource final : public InputEventSource {};

// The keys that hold `flags` down; Command has no key of its own here and rides on Control.
std::vector<KeySym> modifierKeysOf(EventFlags flags) {
  std::vector<KeySym> keys;
  if ((flags & (kEventFlagCommand | kEventFlagControl)) != 0) keys.push_back(XK_Control_L);
  if ((flags & kEventFlagShift) != 0) keys.push_back(XK_Shift_L);
  if ((flags & kEventFlagOption) != 0) keys.push_back(XK_Alt_L);
  return keys;
}

// Keys that change what another key means while they are held. Lock keys (Caps Lock, Num Lock)
// are left alone: they are toggled, not held.
bool isHeldModifier(KeySym symbol) {
  switch (symbol) {
    case XK_Shift_L: case XK_Shift_R:
    case XK_Control_L: case XK_Control_R:
    case XK_Alt_L: case XK_Alt_R:
    case XK_Meta_L: case XK_Meta_R:
    case XK_Super_L: case XK_Super_R:
    case XK_Hyper_L: case XK_Hyper_R:
    case XK_ISO_Level3_Shift: case XK_ISO_Level5_Shift: case XK_Mode_switch:
      return true;
    default:
      return false;
  }
}

bool isShortcut(EventFlags flags) { return (flags & kEventFlagCommand) != 0; }

int clampedCoordinate(double value) {
  if (!std::isfinite(value)) return 0;
  return static_cast<int>(std::clamp(value, -32768.0, 32767.0));
}

}  // namespace

std::unique_ptr<XTestInputEvents> XTestInputEvents::create(std::unique_ptr<X11Display> display,
                                                           std::shared_ptr<PostedEventMarks> mark,
                                                           TerminalSupport terminals) {
  if (!display) return nullptr;
  int eventBase = 0, errorBase = 0, major = 0, minor = 0;
  if (!XTestQueryExtension(display->get(), &eventBase, &errorBase, &major, &minor)) return nullptr;
  return std::unique_ptr<XTestInputEvents>(
      new XTestInputEvents(std::move(display), std::move(mark), std::move(terminals)));
}

XTestInputEvents::XTestInputEvents(std::unique_ptr<X11Display> display,
                                   std::shared_ptr<PostedEventMarks> mark,
                                   TerminalSupport terminals)
    : display_(std::move(display)), mark_(std::move(mark)), terminals_(std::move(terminals)) {
  stampWindow_ =
      XCreateSimpleWindow(display_->get(), display_->root(), 0, 0, 1, 1, 0, 0, 0);
  stampProperty_ = display_->atom("ORVIX_INPUT_TIME");
  XSelectInput(display_->get(), stampWindow_, PropertyChangeMask);
}

void XTestInputEvents::markLocked(std::int64_t mark,
                                  std::span<const XTestTransition> transitions) {
  const Time now = serverTime(display_->get(), stampWindow_, stampProperty_);
  mark_->injected(mark, now == CurrentTime ? std::nullopt : std::optional<Time>(now),
                  transitions);
}

ScreenPoint XTestInputEvents::pointer() {
  Window rootReturn = None, child = None;
  int rootX = 0, rootY = 0, x = 0, y = 0;
  unsigned int mask = 0;
  XQueryPointer(display_->get(), display_->root(), &rootReturn, &child, &rootX, &rootY, &x, &y,
                &mask);
  return ScreenPoint{static_cast<double>(rootX), static_cast<double>(rootY)};
}

std::unique_ptr<InputEventSource> XTestInputEvents::createSource(EventSourceState) {
  return std::make_unique<XTestSource>();
}

std::unique_ptr<InputEvent> XTestInputEvents::createEvent(const InputEventSource*) {
  std::lock_guard guard(display_->lock());
  return std::make_unique<XTestEvent>(EventType::null, pointer());
}

std::unique_ptr<InputEvent> XTestInputEvents::createKeyboardEvent(const InputEventSource*,
                                                                  std::uint16_t keyCode,
                                                                  bool keyDown) {
  const auto symbol = keySymForHostCode(keyCode);
  if (!symbol) return nullptr;
  std::lock_guard guard(display_->lock());
  // A key that cannot be typed, or typed into no window, would be reported as sent and land
  // nowhere: better to say at once that it cannot be.
  if (keyCodeLocked(*symbol) == 0) return nullptr;
  Window focus = None;
  int revert = 0;
  XGetInputFocus(display_->get(), &focus, &revert);
  if (focus == None) return nullptr;
  auto event = std::make_unique<XTestEvent>(keyDown ? EventType::keyDown : EventType::keyUp,
                                            pointer());
  event->setIntegerField(EventField::keyboardEventKeycode, keyCode);
  return event;
}

std::unique_ptr<InputEvent> XTestInputEvents::createMouseEvent(const InputEventSource*,
                                                               EventType type,
                                                               ScreenPoint location, MouseButton) {
  if (type != EventType::mouseMoved && type != EventType::leftMouseDown &&
      type != EventType::leftMouseUp) {
    return nullptr;
  }
  return std::make_unique<XTestEvent>(type, location);
}

std::unique_ptr<InputEvent> XTestInputEvents::createScrollWheelEvent(const InputEventSource*,
                                                                     ScrollUnit unit,
                                                                     std::int32_t wheel1) {
  std::lock_guard guard(display_->lock());
  auto event = std::make_unique<XTestEvent>(EventType::scrollWheel, pointer());
  const std::int64_t magnitude = std::llabs(static_cast<std::int64_t>(wheel1));
  std::int64_t steps = unit == ScrollUnit::line
                           ? magnitude
                           : (magnitude + kPixelsPerWheelStep - 1) / kPixelsPerWheelStep;
  steps = std::min<std::int64_t>(steps, kMaximumWheelSteps);
  event->wheelSteps = static_cast<std::int32_t>(wheel1 < 0 ? -steps : steps);
  return event;
}

unsigned XTestInputEvents::primaryButtonLocked() {
  // XTest presses physical buttons; a left-handed pointer map makes another one the primary.
  unsigned char map[256] = {};
  const int count = XGetPointerMapping(display_->get(), map, sizeof(map));
  for (int physical = 1; physical <= count; ++physical) {
    if (map[physical - 1] == kLeftButton) return static_cast<unsigned>(physical);
  }
  return kLeftButton;
}

KeyCode XTestInputEvents::keyCodeLocked(KeySym symbol) {
  return XKeysymToKeycode(display_->get(), symbol);
}

std::vector<KeyCode> XTestInputEvents::heldModifierKeysLocked() {
  char keys[32] = {};
  XQueryKeymap(display_->get(), keys);
  std::vector<KeyCode> held;
  for (int code = 8; code < 256; ++code) {
    if ((keys[code / 8] & (1 << (code % 8))) == 0) continue;
    const KeySym symbol = XkbKeycodeToKeysym(display_->get(), static_cast<KeyCode>(code), 0, 0);
    if (isHeldModifier(symbol)) held.push_back(static_cast<KeyCode>(code));
  }
  return held;
}

std::optional<XTestInputEvents::KeyPlan> XTestInputEvents::terminalShortcut(KeySym symbol,
                                                                          EventFlags flags) {
  if (!isShortcut(flags) || (symbol != XK_v && symbol != XK_c)) return std::nullopt;
  TerminalPaste paste = TerminalPaste::notATerminal;
  {
    std::lock_guard guard(display_->lock());
    if (const auto client = display_->focusedClient()) {
      if (const auto names = display_->windowClass(*client)) {
        paste = terminalPasteForClass(names->first, names->second);
      }
    }
  }
  if (paste == TerminalPaste::notATerminal && terminals_.focusIsTerminal &&
      terminals_.focusIsTerminal()) {
    paste = TerminalPaste::controlShiftV;
  }
  if (paste == TerminalPaste::notATerminal) return std::nullopt;

  KeyPlan plan;
  if (symbol == XK_c) {
    // The terminal's selection is already PRIMARY: copying it needs no key.
    if (terminals_.copyPrimaryToClipboard) terminals_.copyPrimaryToClipboard();
    return plan;
  }
  std::lock_guard guard(display_->lock());
  if (paste == TerminalPaste::shiftInsertPrimary && keyCodeLocked(XK_Insert) != 0 &&
      terminals_.offerClipboardAsPrimary && terminals_.offerClipboardAsPrimary()) {
    plan.modifiers = {keyCodeLocked(XK_Shift_L)};
    plan.key = keyCodeLocked(XK_Insert);
  } else {
    plan.modifiers = {keyCodeLocked(XK_Control_L), keyCodeLocked(XK_Shift_L)};
    plan.key = keyCodeLocked(XK_v);
  }
  // A modifier the keyboard map lacks is left out rather than posted as key code 0.
  std::erase(plan.modifiers, KeyCode{0});
  return plan;
}

void XTestInputEvents::postKey(const InputEvent& event) {
  const auto hostCode =
      static_cast<std::uint16_t>(event.integerField(EventField::keyboardEventKeycode));
  const auto symbol = keySymForHostCode(hostCode);
  if (!symbol) return;
  const bool down = event.type() == EventType::keyDown;
  const std::int64_t mark = event.integerField(EventField::eventSourceUserData);

  std::lock_guard keys(keysLock_);
  std::optional<KeyPlan> plan;
  if (!down && pressed_ && pressed_->hostCode == hostCode) {
    plan = std::move(pressed_);
    pressed_.reset();
  } else if (down) {
    plan = terminalShortcut(*symbol, event.flags());
  }
  std::lock_guard guard(display_->lock());
  Display* display = display_->get();
  if (!plan) {
    plan.emplace();
    plan->key = keyCodeLocked(*symbol);
    if (plan->key == 0) return;
    for (const KeySym modifier : modifierKeysOf(event.flags())) {
      if (const KeyCode code = keyCodeLocked(modifier)) plan->modifiers.push_back(code);
    }
  }
  plan->hostCode = hostCode;
  if (plan->key == 0) {
    // Nothing to type (a terminal's copy): its release has nothing to undo either.
    if (down) pressed_ = std::move(plan);
    return;
  }
  if (down) {
    // A modifier the shortcut wants and the user already holds stays as it is; any other
    // held modifier would change the shortcut.
    for (const KeyCode held : heldModifierKeysLocked()) {
      const auto wanted = std::find(plan->modifiers.begin(), plan->modifiers.end(), held);
      if (wanted != plan->modifiers.end()) plan->modifiers.erase(wanted);
      else plan->heldByUser.push_back(held);
    }
  }
  std::vector<XTestTransition> transitions;
  const auto key = [&](KeyCode code, bool keyDown) {
    transitions.push_back(XTestTransition{false, code, keyDown});
  };
  if (down) {
    for (const KeyCode held : plan->heldByUser) key(held, false);
    for (const KeyCode modifier : plan->modifiers) key(modifier, true);
    key(plan->key, true);
    pressed_ = std::move(plan);
  } else {
    key(plan->key, false);
    for (auto it = plan->modifiers.rbegin(); it != plan->modifiers.rend(); ++it) key(*it, false);
    for (const KeyCode held : plan->heldByUser) key(held, true);
  }
  // Marks are queued before the server can report the transitions to a tap.
  markLocked(mark, transitions);
  for (const XTestTransition& each : transitions) {
    XTestFakeKeyEvent(display, each.detail, each.down ? True : False, CurrentTime);
  }
  XFlush(display);
}

void XTestInputEvents::post(EventTapLocation, const InputEvent& posted) {
  const auto* event = dynamic_cast<const XTestEvent*>(&posted);
  if (event == nullptr) return;  // not made here: nothing to inject
  if (event->type() == EventType::keyDown || event->type() == EventType::keyUp) {
    postKey(*event);
    return;
  }
  std::lock_guard guard(display_->lock());
  const std::int64_t mark = event->integerField(EventField::eventSourceUserData);
  Display* display = display_->get();
  const ScreenPoint at = event->location();
  switch (event->type()) {
    case EventType::keyDown:
    case EventType::keyUp:
      return;
    case EventType::mouseMoved:
      XTestFakeMotionEvent(display, -1, clampedCoordinate(at.x), clampedCoordinate(at.y),
                           CurrentTime);
      break;
    case EventType::leftMouseDown:
    case EventType::leftMouseUp: {
      const unsigned button = primaryButtonLocked();
      const bool down = event->type() == EventType::leftMouseDown;
      const XTestTransition transition{true, button, down};
      markLocked(mark, std::span(&transition, 1));
      XTestFakeMotionEvent(display, -1, clampedCoordinate(at.x), clampedCoordinate(at.y),
                           CurrentTime);
      XTestFakeButtonEvent(display, button, down ? True : False, CurrentTime);
      break;
    }
    case EventType::scrollWheel: {
      const unsigned button = event->wheelSteps > 0 ? kWheelUp : kWheelDown;
      std::vector<XTestTransition> transitions;
      for (std::int32_t i = 0; i < std::abs(event->wheelSteps); ++i) {
        transitions.push_back(XTestTransition{true, button, true});
        transitions.push_back(XTestTransition{true, button, false});
      }
      markLocked(mark, transitions);
      for (const XTestTransition& each : transitions) {
        XTestFakeButtonEvent(display, each.detail, each.down ? True : False, CurrentTime);
      }
      break;
    }
    case EventType::null:
      return;
  }
  XFlush(display);
}

std::shared_ptr<EventTap> XTestInputEvents::createListenOnlySessionTap(EventMask mask,
                                                                       EventTapCallback callback) {
  mark_->clear();
  return XInputEventTap::create(X11Display::open(), mark_, mask, std::move(callback));
}

}  // namespace orvix::platform::linux_desktop
