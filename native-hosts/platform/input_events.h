#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "common/time/run_loop.h"

namespace orvix::platform {

// Synthetic input events, shaped after Quartz event services (CGEvent): create an event, set its
// fields, post it into the system's event stream.
//
// Notes for implementers:
// - Creation answers nullptr when the event cannot be made (no window server, no permission);
//   callers turn that into their own failure code.
// - Posting gives no confirmation of delivery, as on macOS.
// - May be called from any thread; implementations must be thread-safe.

using EventFlags = std::uint64_t;
inline constexpr EventFlags kEventFlagShift = 0x20000;
inline constexpr EventFlags kEventFlagControl = 0x40000;
inline constexpr EventFlags kEventFlagOption = 0x80000;
inline constexpr EventFlags kEventFlagCommand = 0x100000;

// The event field numbers the host reads or writes.
enum class EventField : std::uint32_t {
  mouseEventClickState = 1,
  keyboardEventKeycode = 9,
  eventSourceUserData = 42,
  eventTargetUnixProcessID = 40,
};

enum class EventType : std::uint32_t {
  null = 0,
  leftMouseDown = 1,
  leftMouseUp = 2,
  mouseMoved = 5,
  keyDown = 10,
  keyUp = 11,
  scrollWheel = 22,
};

enum class MouseButton : std::uint32_t { left = 0 };
enum class ScrollUnit : std::uint32_t { pixel = 0, line = 1 };
enum class EventTapLocation : std::uint32_t { hid = 0, session = 1 };
enum class EventSourceState : std::int32_t { combinedSession = 0, hidSystem = 1 };

// Screen coordinates in points: x grows rightwards, y downwards.
struct ScreenPoint {
  double x = 0;
  double y = 0;
  bool operator==(const ScreenPoint&) const = default;
};

class InputEvent {
 public:
  virtual ~InputEvent() = default;
  virtual EventType type() const = 0;
  virtual EventFlags flags() const = 0;
  virtual void setFlags(EventFlags flags) = 0;
  virtual std::int64_t integerField(EventField field) const = 0;
  virtual void setIntegerField(EventField field, std::int64_t value) = 0;
  // Where the pointer was when the event was made (for a plain event: the pointer now).
  virtual ScreenPoint location() const = 0;
};

// An event source (CGEventSource); events created from it carry its state.
class InputEventSource {
 public:
  virtual ~InputEventSource() = default;
};

// What an event tap reports besides events: the system switched the tap off because its
// callback took too long, or because of user input. The tap stays switched off until it is
// enabled again.
inline constexpr std::uint32_t kEventTapDisabledByTimeout = 0xFFFFFFFE;
inline constexpr std::uint32_t kEventTapDisabledByUserInput = 0xFFFFFFFF;

using EventMask = std::uint64_t;
constexpr EventMask eventMaskBit(EventType type) {
  return EventMask{1} << static_cast<std::uint32_t>(type);
}

// Called on the thread of the run loop the tap's source was added to, with the event type (or
// one of the two notifications above, with an event carrying nothing of interest).
using EventTapCallback = std::function<void(std::uint32_t type, const InputEvent& event)>;

// A listen-only event tap (CGEventTapCreate with kCGEventTapOptionListenOnly) and its mach
// port. It sees the user's events and every posted one, the host's own included, with their
// fields; it can neither change nor swallow any of them.
class EventTap {
 public:
  virtual ~EventTap() = default;
  // CGEventTapEnable. A new tap starts enabled, as on macOS.
  virtual void setEnabled(bool enabled) = 0;
  // CFMachPortInvalidate: no event reaches the callback afterwards, even one already on its way.
  virtual void invalidate() = 0;
  // CFRunLoopAddSource of the tap's run-loop source, default mode: events are delivered while
  // that loop runs.
  virtual void addRunLoopSource(RunLoop& loop) = 0;
};

class InputEvents {
 public:
  virtual ~InputEvents() = default;

  virtual std::unique_ptr<InputEventSource> createSource(EventSourceState state) = 0;

  // A plain event; its location tells where the pointer is. `source` may be null.
  virtual std::unique_ptr<InputEvent> createEvent(const InputEventSource* source) = 0;
  virtual std::unique_ptr<InputEvent> createKeyboardEvent(const InputEventSource* source,
                                                          std::uint16_t keyCode,
                                                          bool keyDown) = 0;
  virtual std::unique_ptr<InputEvent> createMouseEvent(const InputEventSource* source,
                                                       EventType type, ScreenPoint location,
                                                       MouseButton button) = 0;
  // A scroll-wheel event with one wheel (the vertical axis).
  virtual std::unique_ptr<InputEvent> createScrollWheelEvent(const InputEventSource* source,
                                                             ScrollUnit unit,
                                                             std::int32_t wheel1) = 0;

  virtual void post(EventTapLocation tap, const InputEvent& event) = 0;

  // A session-level, head-inserted, listen-only tap for the types in `mask`. Null when the
  // system refuses it (the process is not trusted for accessibility, or no window server).
  virtual std::shared_ptr<EventTap> createListenOnlySessionTap(EventMask mask,
                                                               EventTapCallback callback) = 0;
};

}  // namespace orvix::platform
