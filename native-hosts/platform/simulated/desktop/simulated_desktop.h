#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/time/serial_queue.h"
#include "common/time/time_source.h"
#include "platform/desktop.h"
#include "platform/simulated/desktop/desktop_world.h"
#include "platform/simulated/desktop/simulated_accessibility.h"
#include "platform/simulated/desktop/simulated_input_events.h"
#include "platform/simulated/desktop/simulated_pasteboard.h"
#include "platform/simulated/desktop/simulated_process_info.h"
#include "platform/simulated/desktop/simulated_window_list.h"
#include "platform/simulated/desktop/simulated_workspace.h"

namespace orvix::platform::simulated {

struct ApplicationSpec {
  ProcessId pid = 0;
  std::optional<std::string> bundleIdentifier;
  std::optional<std::string> localizedName;
  bool hidden = false;
};

// An element to add below a window (or another element). Everything left out comes from the
// kind: role, subrole, which attributes are settable and how it takes a paste. Written as
// ElementSpec(ElementKind::textField, window).withValue("abc").withPid(711).
struct ElementSpec {
  ElementSpec(ElementKind elementKind, ElementId parentElement)
      : kind(elementKind), parent(parentElement) {}

  ElementSpec& withPid(ProcessId owner) { return pid = owner, *this; }
  // Out of line: GCC 12 inlines the optional assignment into callers and then warns about it.
  ElementSpec& withRole(std::string name);
  ElementSpec& withSubrole(std::string name);
  ElementSpec& withTitle(std::string text);
  ElementSpec& withValue(std::string text);
  ElementSpec& withSelectedRange(TextRange range) { return selectedRange = range, *this; }
  ElementSpec& withSettable(std::set<std::string> names) {
    settable = std::move(names);
    replacesSettable = true;
    return *this;
  }
  ElementSpec& withPasteLatency(Duration latency) { return pasteLatency = latency, *this; }
  ElementSpec& withAttribute(std::string name, AXValue attributeValue) {
    attributes[std::move(name)] = std::move(attributeValue);
    return *this;
  }
  ElementSpec& withFrame(double x, double y, double width, double height) {
    attributes["AXPosition"] = AXPoint{x, y};
    attributes["AXSize"] = AXSize{width, height};
    return *this;
  }
  ElementSpec& appearingAfter(Duration delay) { return appearsAfter = delay, *this; }
  ElementSpec& withChildrenAttribute(std::string name) {
    return childrenAttribute = std::move(name), *this;
  }
  ElementSpec& ignoringFocusWrite() { return ignoresFocusWrite = true, *this; }
  ElementSpec& showing(DraftDisplay display) { return shows = display, *this; }
  ElementSpec& onReturnKey(ReturnBehaviour behaviour) { return onReturn = behaviour, *this; }
  ElementSpec& withCallCost(Duration cost) { return callCost = cost, *this; }

  ElementKind kind;
  ElementId parent;
  std::optional<ProcessId> pid;  // default: the parent's process
  std::optional<std::string> role;
  std::optional<std::string> subrole;
  std::optional<std::string> title;
  std::optional<std::string> value;        // text kinds default to ""
  std::optional<TextRange> selectedRange;  // text kinds default to a caret after the value
  // Replaces the kind's settable attributes when replacesSettable is set.
  std::set<std::string> settable;
  bool replacesSettable = false;
  Duration pasteLatency{0};
  std::map<std::string, AXValue> attributes;
  // Joins the tree this long after its application launched (or after it was added, for a
  // running application).
  Duration appearsAfter{0};
  std::string childrenAttribute = "AXChildren";
  bool ignoresFocusWrite = false;
  DraftDisplay shows = DraftDisplay::value;
  ReturnBehaviour onReturn = ReturnBehaviour::none;
  Duration callCost{0};
};

// A whole desktop for the input host to run in, deterministic and scriptable: processes with
// parents, applications with windows and accessibility trees, the keyboard focus, the general
// pasteboard, the pointer and a recorder of every event posted. desktop() hands the five
// platform interfaces to the host; the other members are the test's (or the scenario's) hands
// on the world, in the manner of Chromium's Simulate... fakes.
//
// Every member may be called from any thread; one mutex guards the world. Scheduled changes
// (a focus move at a time, a paste that lands late) run on a serial queue of the given
// TimeSource, so under virtual time they happen exactly when the test's clock says. The
// desktop must be destroyed before that TimeSource.
//
// Building calls (add..., focus...) throw std::invalid_argument when they name something that
// does not exist: that is a broken test, not a desktop fault.
class SimulatedDesktop {
 public:
  // The host's own process as the default desktop has it, below process 1.
  static constexpr ProcessId kDefaultCurrentProcess = 900;

  explicit SimulatedDesktop(TimeSource& time);
  ~SimulatedDesktop();
  SimulatedDesktop(const SimulatedDesktop&) = delete;
  SimulatedDesktop& operator=(const SimulatedDesktop&) = delete;

  Desktop desktop();
  SimulatedAccessibility& accessibility() { return accessibility_; }
  SimulatedInputEvents& inputEvents() { return inputEvents_; }
  SimulatedWorkspace& workspace() { return workspace_; }
  SimulatedPasteboard& pasteboard() { return pasteboard_; }
  SimulatedProcessInfo& processInfo() { return processInfo_; }
  SimulatedWindowList& windowList() { return windowList_; }

  // Processes. Process 1 always exists. Adding an existing pid replaces its parent and
  // revives it.
  void addProcess(ProcessId pid, ProcessId parent);
  void endProcess(ProcessId pid);
  void setParentReadFails(ProcessId pid, bool fails);
  // Any parent, even one that makes a loop: the host must survive what the kernel may report.
  void setParent(ProcessId pid, ProcessId parent);
  void setCurrentProcess(ProcessId pid);

  // Applications, windows and elements. addApplication adds the process (below process 1)
  // when it does not exist and answers the application's element.
  ElementId addApplication(const ApplicationSpec& spec);
  ElementId applicationElement(ProcessId pid);
  ElementId addWindow(ProcessId application, std::string title);
  ElementId addElement(const ElementSpec& spec);
  void setApplicationHidden(ProcessId pid, bool hidden);
  // The application is installed at `location`, so the workspace finds it by bundle identifier
  // and can open it. Not running: its process starts `launchDelay` after it is opened. Call it
  // before adding late elements, which appear counted from the launch.
  void installApplication(ProcessId pid, std::string location, bool running,
                          Duration launchDelay = Duration::zero());
  void setAccessibilityGate(ProcessId pid, AccessibilityGate gate);
  void setActivationRefused(ProcessId pid, bool refused);
  void setApplicationCallCost(ProcessId pid, Duration cost);
  // The application's own focused and main window (kNoElement for none), without moving the
  // keyboard focus between applications.
  void setApplicationWindows(ProcessId pid, ElementId focusedWindow, ElementId mainWindow);
  // Any attribute as the application reports it (and keeps what the host writes).
  void setAttribute(ElementId id, const std::string& attribute, AXValue value);
  std::optional<AXValue> attribute(ElementId id, const std::string& attribute);
  // The element leaves its application's tree (and the focus, if it had it).
  void removeElement(ElementId id);
  bool present(ElementId id);

  // What an element holds now, as the user would see it (also when it does not report it).
  std::optional<std::string> value(ElementId id);
  std::optional<TextRange> selectedRange(ElementId id);
  void setValue(ElementId id, std::optional<std::string> value);
  void setSelectedRange(ElementId id, std::optional<TextRange> range);
  void setSettable(ElementId id, const std::string& attribute, bool settable);
  // Injected failures; std::nullopt removes one.
  void setAttributeError(ElementId id, const std::string& attribute, std::optional<AXError> error);
  void setSystemWideError(const std::string& attribute, std::optional<AXError> error);
  // The system-wide element answers `value` for the attribute (std::nullopt: its own answer).
  void setSystemWideValue(const std::string& attribute, std::optional<AXValue> value);
  void setProcessIdError(ElementId id, std::optional<AXError> error);
  void setPasteLatency(ElementId id, Duration latency);
  // A handle as the host would get it.
  AXElement handle(ElementId id) { return accessibility_.handleFor(id); }

  // Focus. A target's window defaults to the element's enclosing window.
  FocusTarget focusTargetOf(ElementId element);
  void setFocus(const FocusTarget& target);
  void focusElement(ElementId element) { setFocus(focusTargetOf(element)); }
  // The workspace's front application, set apart from the accessibility focus.
  void setFrontmostApplication(std::optional<ProcessId> pid);
  std::optional<ProcessId> focusedApplication();
  ElementId focusedElement();
  // At an uptime of the TimeSource's clock (at once when it has passed).
  void moveFocusAt(Duration uptime, const FocusTarget& target);
  void moveFocusAfter(Duration delay, const FocusTarget& target);
  // Right after the `reads`-th read (counted from now) of `attribute` of the system-wide
  // element has been answered: the host's confirming second read then sees the new focus.
  void moveFocusAfterSystemWideReads(const std::string& attribute, int reads,
                                     const FocusTarget& target);
  // When the next Command+V key-down is posted, after its paste was aimed at the old focus.
  void moveFocusOnPaste(const FocusTarget& target);
  // Right after the next text written to the pasteboard.
  void moveFocusOnPasteboardWrite(const FocusTarget& target);
  // Right after the `reads`-th read (from now) of `attribute` of any element but the
  // system-wide one has been answered.
  void moveFocusAfterAttributeReads(const std::string& attribute, int reads,
                                    const FocusTarget& target);

  // Pasteboard, as someone other than the host sees and changes it.
  void simulateUserCopy(const std::string& text);
  void setPasteboardSetStringFails(bool fails);
  std::optional<std::string> pasteboardText();
  std::int64_t pasteboardChangeCount();
  void setPasteboard(std::optional<std::string> text, std::int64_t changeCount);

  // The window server. Application windows follow the focus to the front; overlays (windows
  // of processes without accessibility, at any layer) stay in front of them, the newest first.
  std::uint32_t windowNumber(ElementId window);
  std::uint32_t addOverlayWindow(ProcessId pid, std::int64_t layer);
  void removeOverlayWindow(std::uint32_t number);
  void setWindowListFails(bool fails);
  // What the application does when Command-C reaches it (the user's or the host's).
  void setCopyBehaviour(ProcessId pid, CopyBehaviour behaviour);

  // Events.
  void setEventCreationFails(bool fails);
  // Lets `count` more creations succeed, then fails every one; std::nullopt lifts the limit.
  void limitEventCreations(std::optional<int> count);
  std::vector<PostedEvent> postedEvents();
  void clearPostedEvents();
  ScreenPoint pointer();
  void setPointer(ScreenPoint location);

  void setProcessTrusted(bool trusted);

  // The user at the keyboard and pointer. Their events reach the live taps (not the recorder
  // of the host's posts), as they would on the real system; `mark` stands in for a forged
  // source user-data field.
  struct UserEvent {
    EventType type = EventType::keyDown;
    std::uint16_t keyCode = 0;
    EventFlags flags = 0;
    ProcessId targetPid = 0;
    ScreenPoint location{500, 400};
    std::int64_t clickState = 1;
    std::int64_t mark = 0;
  };
  void userEvent(const UserEvent& event);
  // A key pressed with modifiers, addressed to `targetPid` (down only: the taps ask for no more).
  void userKeyDown(std::uint16_t keyCode, EventFlags flags, ProcessId targetPid);
  // Runs `action` on the simulator's queue after `delay` (a scripted user's next step).
  void afterDelay(Duration delay, std::function<void(SimulatedDesktop&)> action);
  // The system switches every live tap off and tells it with `notice`.
  void disableEventTaps(std::uint32_t notice);
  void setEventTapRefused(bool refused);
  // Taps created and not yet invalidated.
  std::size_t liveEventTaps();

  DesktopCounters counters();
  void resetCounters();

 private:
  // Callers hold the mutex.
  ElementState& requireElement(ElementId id);
  void requireFocusTarget(const FocusTarget& target);
  ElementId insertElement(ElementState state);

  TimeSource& time_;
  DesktopModel model_;
  SimulatedAccessibility accessibility_{model_};
  SimulatedInputEvents inputEvents_{model_};
  SimulatedWorkspace workspace_{model_};
  SimulatedPasteboard pasteboard_{model_};
  SimulatedProcessInfo processInfo_{model_};
  SimulatedWindowList windowList_{model_};
  // Last member, so it goes first: its pending tasks refer to model_.
  std::unique_ptr<SerialQueue> queue_;
};

}  // namespace orvix::platform::simulated
