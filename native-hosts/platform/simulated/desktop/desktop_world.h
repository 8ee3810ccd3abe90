#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/time/run_loop.h"
#include "platform/simulated/desktop/desktop_types.h"
#include "platform/simulated/desktop/simulated_input_event.h"
#include "platform/window_list.h"

namespace orvix::platform::simulated {

// The whole simulated desktop as plain data: processes, applications, elements, focus,
// pasteboard, pointer and what the host asked. No locking here; DesktopModel guards it.
struct DesktopWorld {
  // Focus moves the scenario arms; each fires once.
  struct ReadTrigger {
    std::string attribute;  // of the system-wide element
    int remainingReads = 0;
    FocusTarget target;
  };

  struct PasteboardState {
    std::optional<std::string> text;
    std::int64_t changeCount = 1;
    // The host cleared the pasteboard and nobody wrote since: its next setString belongs to the
    // same change, so the count stays where clearContents put it.
    bool heldByHost = false;
    bool setStringFails = false;
  };

  // A paste the keystroke triggered, to be applied now or after the element's latency.
  struct PasteDelivery {
    ElementId element = kNoElement;
    std::string text;
    Duration latency{0};
  };

  // An observer the host created, with what it asked to hear and where to deliver it.
  struct ObserverState {
    ProcessId pid = 0;
    std::map<std::pair<ElementId, std::string>, void*> registrations;  // -> context
    RunLoop* loop = nullptr;  // the loop its source is added to, if any
    // Runs on that loop: checks the observer still wants it, then calls the host's callback.
    std::function<void(ElementId element, const std::string& notification)> deliver;
  };

  std::map<ProcessId, ProcessState> processes;
  std::map<ProcessId, ApplicationState> applications;
  std::map<ElementId, ElementState> elements;
  ElementId nextElementId = 1;
  ProcessId currentProcess = 0;

  // Injected failures of reads of the system-wide element, by attribute, and answers that
  // replace its own.
  std::map<std::string, AXError, std::less<>> systemWideErrors;
  std::map<std::string, AXValue, std::less<>> systemWideValues;

  std::optional<ProcessId> focusedApplication;
  std::optional<ProcessId> frontmostApplication;

  PasteboardState pasteboard;

  ScreenPoint pointer{500, 400};
  bool eventCreationFails = false;
  std::optional<int> eventCreationsLeft;  // creation fails once this reaches 0
  // The most recent posts, oldest first; bounded so a long demo run cannot grow without end.
  static constexpr std::size_t kMaximumRecordedEvents = 10000;
  std::deque<PostedEvent> postedEvents;
  void recordPost(const PostedEvent& event);

  bool trusted = true;
  DesktopCounters counters;

  std::map<std::uint64_t, ObserverState> observers;

  // A live listen-only event tap.
  struct EventTapState {
    EventMask mask = 0;
    bool enabled = true;
    RunLoop* loop = nullptr;  // the loop its source is added to, if any
    // Runs on that loop: checks the tap is still live, then calls the host's callback.
    std::function<void(std::uint32_t type, const InputEvent& event)> deliver;
  };
  std::map<std::uint64_t, EventTapState> eventTaps;
  std::uint64_t nextEventTapId = 1;
  bool eventTapRefused = false;
  // Hands a copy of `event` to every enabled tap that asked for its type; it arrives when the
  // tap's loop runs.
  void deliverToTaps(const SimulatedInputEvent& event);
  // The system switches every tap off, and tells each (on its loop) with `notice`.
  void disableTaps(std::uint32_t notice);
  std::uint64_t nextObserverId = 1;
  // The messaging timeout of elements the host set none on (AXUIElement's default is 6 s).
  Duration globalMessagingTimeout = std::chrono::seconds(6);

  // The window server's view: application windows front to back (window elements, whether or
  // not present and shown), and windows of processes without accessibility (overlays, panels),
  // which stay in front of every application window.
  struct OverlayWindow {
    ProcessId pid = 0;
    std::uint32_t number = 0;
    std::int64_t layer = 0;
  };
  std::vector<ElementId> windowStack;
  std::vector<OverlayWindow> overlays;
  std::uint32_t nextWindowNumber = 100;
  bool windowListFails = false;
  // The on-screen windows as the window server lists them: overlays, then the windows of
  // running, unhidden applications that are present in their trees.
  std::vector<OnScreenWindow> onScreenWindows();
  // The application's windows come in front of all others, `window` (if any) first.
  void raiseWindows(ProcessId pid, ElementId window);

  // A Command-C the focused application answers later (after its copy delay).
  struct PendingCopy {
    std::string text;
    int changes = 0;
    Duration delay{0};
  };
  // Command-C arrived: the focused application copies its selection as it does. Applies an
  // immediate copy itself and answers a late one for the caller to schedule.
  std::optional<PendingCopy> copyKeystroke();
  void applyCopy(const PendingCopy& copy);

  std::vector<ReadTrigger> readTriggers;
  std::vector<FocusTarget> pasteTriggers;  // the next paste keystroke takes the first
  std::vector<FocusTarget> pasteboardWriteTriggers;  // the next setString takes the first
  // Like readTriggers, for reads of an attribute of any element other than the system-wide one.
  std::vector<ReadTrigger> elementReadTriggers;

  ElementState* element(ElementId id);
  ApplicationState* application(ProcessId pid);
  // The application whose element tree holds `id` (walking up the parents), if any.
  ApplicationState* applicationOwning(ElementId id);
  // The nearest enclosing window, kNoElement when there is none or `id` is not below one.
  ElementId windowOf(ElementId id);
  bool processAlive(ProcessId pid) const;
  // An element of an ended process, or of an ended application, is gone for the host.
  bool elementAlive(const ElementState& element) const;

  // The element the keyboard focus is on, kNoElement when none.
  ElementId focusedElement();

  void applyFocus(const FocusTarget& target);
  // Counts a read of the system-wide element and fires the focus moves waiting for it.
  void noteSystemWideRead(std::string_view attribute);

  // Command+V arrived: which element gets what, and the focus moves armed for it.
  std::optional<PasteDelivery> pasteKeystroke();
  void applyPaste(ElementId id, std::string_view text);

  // Posts `notification` about `element` to every observer of `pid` that added it and whose
  // source is on a loop; it arrives when that loop runs.
  void notify(ProcessId pid, std::string_view notification, ElementId element);
  // The application's own focus moves to `element` (and its window), with the notifications.
  void focusWithinApplication(ApplicationState& app, ElementId element);
  // The application comes to the front: it is unhidden, active and has the keyboard focus.
  void bringToFront(ApplicationState& app);
  // A late element joins its parent's children; a removed one leaves them.
  void attach(ElementId id);
  void detach(ElementId id);
  // A left click at `point`: the deepest text element of the front application whose frame
  // ("AXPosition", "AXSize") holds the point takes the focus.
  void clickAt(ScreenPoint point);
  // Return in the focused element, with its ReturnBehaviour.
  void returnKeystroke();

  // The process ends; its children are handed to process 1 as the kernel does, and its
  // application (if any) terminates and loses the focus.
  void endProcess(ProcessId pid);
};

// The world and the one mutex that guards it, shared by the five platform facades and the
// test controls. `schedule` runs a task on the simulator's own queue after a delay; tasks lock
// the mutex themselves.
struct DesktopModel {
  std::mutex mutex;
  DesktopWorld world;
  std::function<void(Duration delay, Task task)> schedule;
  // Work for the host's main run loop (an open's completion handler).
  std::function<void(Task task)> postToMainLoop;
  // Blocks the calling thread for the virtual time an accessibility call takes.
  std::function<void(Duration cost)> spend;
  // Tasks that outlive the desktop on a loop check this before touching the model.
  std::shared_ptr<int> lifetime = std::make_shared<int>(0);
};

// Whether a key-down is a plain Command-C, the copy shortcut every application answers.
bool isCopyKeystroke(const InputEvent& event);
// What a key-down does to the desktop beyond the taps (a copy, whose late write is scheduled on
// the model's queue). Called with the model's mutex held.
void applyKeystroke(DesktopModel& model, const InputEvent& event);

}  // namespace orvix::platform::simulated
