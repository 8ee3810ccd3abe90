#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/simulated/desktop/desktop_types.h"

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

  std::map<ProcessId, ProcessState> processes;
  std::map<ProcessId, ApplicationState> applications;
  std::map<ElementId, ElementState> elements;
  ElementId nextElementId = 1;
  ProcessId currentProcess = 0;

  // Injected failures of reads of the system-wide element, by attribute.
  std::map<std::string, AXError, std::less<>> systemWideErrors;

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

  std::vector<ReadTrigger> readTriggers;
  std::vector<FocusTarget> pasteTriggers;  // the next paste keystroke takes the first

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
};

}  // namespace orvix::platform::simulated
