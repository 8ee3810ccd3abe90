#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/time/run_loop.h"
#include "platform/process_id.h"

namespace orvix::platform {

// The accessibility interface of the desktop: elements of other applications, their
// attributes, and the questions the host asks about them. Shaped after the macOS AXUIElement
// functions so that the macOS binding is a thin adapter.
//
// Notes for implementers:
// - Every call is synchronous and may come from any thread (the command loop, the quick-add tap
//   thread, the quick-add queue); implementations must be thread-safe.
// - Calls block for as long as the other application takes to answer, bounded by the element's
//   messaging timeout.
// - Failures are returned as AXError codes, never thrown.

// Error codes of the accessibility interface, with the platform's values.
enum class AXError : std::int32_t {
  success = 0,
  failure = -25200,
  illegalArgument = -25201,
  invalidUIElement = -25202,
  invalidUIElementObserver = -25203,
  cannotComplete = -25204,
  attributeUnsupported = -25205,
  actionUnsupported = -25206,
  notificationUnsupported = -25207,
  notImplemented = -25208,
  notificationAlreadyRegistered = -25209,
  notificationNotRegistered = -25210,
  apiDisabled = -25211,
  noValue = -25212,
  parameterizedAttributeUnsupported = -25213,
  notEnoughPrecision = -25214,
};

// A handle to an accessibility element. Handles are cheap to copy and keep the element alive.
// Two handles name the same element when the platform's own equality says so (CFEqual on
// macOS), never by address: the system hands out a fresh object for every read.
class AXElement {
 public:
  // What a platform binding puts behind a handle.
  class Object {
   public:
    virtual ~Object() = default;
    virtual bool equals(const Object& other) const = 0;
    virtual std::size_t hash() const = 0;
  };

  explicit AXElement(std::shared_ptr<const Object> object) : object_(std::move(object)) {}

  bool operator==(const AXElement& other) const { return object_->equals(*other.object_); }
  std::size_t hash() const { return object_->hash(); }
  const Object& object() const { return *object_; }

 private:
  std::shared_ptr<const Object> object_;
};

struct AXElementHash {
  std::size_t operator()(const AXElement& element) const { return element.hash(); }
};

// A character range (CFRange in an AXValue of the range type), counted in UTF-16 code units.
struct TextRange {
  std::int64_t location = 0;
  std::int64_t length = 0;
  bool operator==(const TextRange&) const = default;
};

// A screen point in an AXValue of the point type ("AXPosition"): the top-left corner of an
// element in screen coordinates, y growing downwards.
struct AXPoint {
  double x = 0;
  double y = 0;
  bool operator==(const AXPoint&) const = default;
};

// A size in an AXValue of the size type ("AXSize"), in points.
struct AXSize {
  double width = 0;
  double height = 0;
  bool operator==(const AXSize&) const = default;
};

// An attributed string (NSAttributedString): the host only ever reads its plain characters.
struct AXAttributedString {
  std::string string;
  bool operator==(const AXAttributedString&) const = default;
};

// A value of another type than the ones the host reads (a date, a URL, ...).
struct AXOtherValue {
  bool operator==(const AXOtherValue&) const = default;
};

// A copied attribute value. monostate stands for a successful read that gave no value.
using AXValue = std::variant<std::monostate, AXElement, std::string, TextRange, bool, double,
                             std::vector<AXElement>, AXOtherValue, AXPoint, AXSize,
                             AXAttributedString>;

struct AXAttributeResult {
  AXError error = AXError::success;
  AXValue value;
};

struct AXSettableResult {
  AXError error = AXError::success;
  bool settable = false;
};

struct AXProcessIdResult {
  AXError error = AXError::success;
  ProcessId pid = 0;
};

// Called on the run loop the observer's source was added to, once per notification the
// application posts: the element it concerns, the notification's name, and the context given
// when the notification was added. (AXObserverCallback.)
using AXObserverCallback =
    std::function<void(const AXElement& element, std::string_view notification, void* context)>;

// Watches one application's notifications (AXObserverRef).
//
// Notes for implementers:
// - Notifications are delivered only while the observer's source is added to a run loop, and
//   only on that loop's thread, while that loop runs; none arrive after removeRunLoopSource or
//   after the observer is destroyed, even if they were already posted.
// - addNotification for a name already added on the element answers
//   notificationAlreadyRegistered; a name the application never posts may answer
//   notificationUnsupported.
// - Main thread only (the thread that runs the loop the source is added to).
class AXObserver {
 public:
  virtual ~AXObserver() = default;
  virtual AXError addNotification(const AXElement& element, std::string_view notification,
                                  void* context) = 0;
  virtual AXError removeNotification(const AXElement& element, std::string_view notification) = 0;
  // CFRunLoopAddSource / CFRunLoopRemoveSource of the observer's run-loop source, default mode.
  virtual void addRunLoopSource(RunLoop& loop) = 0;
  virtual void removeRunLoopSource(RunLoop& loop) = 0;
};

struct AXObserverResult {
  AXError error = AXError::success;
  std::unique_ptr<AXObserver> observer;  // null unless error is success
};

class Accessibility {
 public:
  virtual ~Accessibility() = default;

  // The element that answers system-wide questions (the focused application and element).
  virtual AXElement systemWideElement() = 0;
  // The top-level element of an application.
  virtual AXElement applicationElement(ProcessId pid) = 0;

  virtual AXAttributeResult copyAttributeValue(const AXElement& element,
                                               std::string_view attribute) = 0;
  virtual AXAttributeResult copyParameterizedAttributeValue(const AXElement& element,
                                                            std::string_view attribute,
                                                            const AXValue& parameter) = 0;
  virtual AXSettableResult isAttributeSettable(const AXElement& element,
                                               std::string_view attribute) = 0;
  virtual AXError setAttributeValue(const AXElement& element, std::string_view attribute,
                                    const AXValue& value) = 0;
  virtual AXError performAction(const AXElement& element, std::string_view action) = 0;

  // The process that owns the element.
  virtual AXProcessIdResult processId(const AXElement& element) = 0;

  // How long calls on this element wait for its application; 0 restores the global default.
  // Set on the system-wide element it is the default of every element. A call that outlasts it
  // answers cannotComplete.
  virtual AXError setMessagingTimeout(const AXElement& element, float seconds) = 0;

  // An observer of the application `pid` (AXObserverCreate).
  virtual AXObserverResult createObserver(ProcessId pid, AXObserverCallback callback) = 0;

  // Whether this process itself is trusted for accessibility (AXIsProcessTrusted).
  virtual bool isProcessTrusted() = 0;
  // Why the last isProcessTrusted() said no, in words for whoever reads the host's diagnostics;
  // empty when it said yes or when the platform gives no reason (macOS does not).
  virtual std::string untrustedReason() { return {}; }
};

}  // namespace orvix::platform
