#include "platform/linux/desktop/xtest_input_events.h"

#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <vector>

#include "platform/linux/desktop/key_mapping.h"
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

int clampedCoordinate(double value) {
  if (!std::isfinite(value)) return 0;
  return static_cast<int>(std::clamp(value, -32768.0, 32767.0));
}

}  // namespace

std::unique_ptr<XTestInputEvents> XTestInputEvents::create(std::unique_ptr<X11Display> display,
                                                           std::shared_ptr<PostedEventMarks> mark) {
  if (!display) return nullptr;
  int eventBase = 0, errorBase = 0, major = 0, minor = 0;
  if (!XTestQueryExtension(display->get(), &eventBase, &errorBase, &major, &minor)) return nullptr;
  return std::unique_ptr<XTestInputEvents>(new XTestInputEvents(std::move(display), std::move(mark)));
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
  std::lock_guard guard(display_->lock());
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

void PostedEventMarks::injected(std::int64_t mark, int transitions) {
  std::lock_guard guard(lock_);
  for (int i = 0; i < transitions; ++i) waiting_.push_back(mark);
  while (waiting_.size() > kMaximumWaiting) waiting_.pop_front();
}

std::int64_t PostedEventMarks::take() {
  std::lock_guard guard(lock_);
  if (waiting_.empty()) return 0;
  const std::int64_t mark = waiting_.front();
  waiting_.pop_front();
  return mark;
}

void PostedEventMarks::clear() {
  std::lock_guard guard(lock_);
  waiting_.clear();
}

void XTestInputEvents::fakeKey(KeySym symbol, bool down) {
  const KeyCode code = XKeysymToKeycode(display_->get(), symbol);
  if (code != 0) XTestFakeKeyEvent(display_->get(), code, down ? True : False, CurrentTime);
}

void XTestInputEvents::post(EventTapLocation, const InputEvent& posted) {
  const auto* event = dynamic_cast<const XTestEvent*>(&posted);
  if (event == nullptr) return;  // not made here: nothing to inject
  std::lock_guard guard(display_->lock());
  const std::int64_t mark = event->integerField(EventField::eventSourceUserData);
  Display* display = display_->get();
  const ScreenPoint at = event->location();
  switch (event->type()) {
    case EventType::keyDown:
    case EventType::keyUp: {
      const auto symbol = keySymForHostCode(
          static_cast<std::uint16_t>(event->integerField(EventField::keyboardEventKeycode)));
      if (!symbol) return;
      const bool down = event->type() == EventType::keyDown;
      // Marks are queued before the server can report the transitions to a tap.
      const KeyCode code = XKeysymToKeycode(display, *symbol);
      if (code == 0) return;
      const auto modifiers = modifierKeysOf(event->flags());
      mark_->injected(mark, 1 + static_cast<int>(modifiers.size()));
      if (down) {
        for (const KeySym modifier : modifiers) fakeKey(modifier, true);
      }
      fakeKey(*symbol, down);
      if (!down) {
        for (const KeySym modifier : modifiers) fakeKey(modifier, false);
      }
      break;
    }
    case EventType::mouseMoved:
      XTestFakeMotionEvent(display, -1, clampedCoordinate(at.x), clampedCoordinate(at.y),
                           CurrentTime);
      break;
    case EventType::leftMouseDown:
    case EventType::leftMouseUp:
      mark_->injected(mark, 1);
      XTestFakeMotionEvent(display, -1, clampedCoordinate(at.x), clampedCoordinate(at.y),
                           CurrentTime);
      XTestFakeButtonEvent(display, kLeftButton,
                           event->type() == EventType::leftMouseDown ? True : False, CurrentTime);
      break;
    case EventType::scrollWheel: {
      const unsigned button = event->wheelSteps > 0 ? kWheelUp : kWheelDown;
      mark_->injected(mark, 2 * std::abs(event->wheelSteps));
      for (std::int32_t i = 0; i < std::abs(event->wheelSteps); ++i) {
        XTestFakeButtonEvent(display, button, True, CurrentTime);
        XTestFakeButtonEvent(display, button, False, CurrentTime);
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
