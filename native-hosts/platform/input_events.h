#pragma once

#include <cstdint>
#include <memory>

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
};

}  // namespace orvix::platform
