// The simulated desktop's answers that the host's focus confirmation, process-tree test,
// clipboard bookkeeping and key marks depend on.

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "desktop_test_support.h"

namespace orvix::platform::simulated {
namespace {

using testing::DesktopTest;
using testing::holdsElement;

TEST_F(DesktopTest, HandlesNameElementsByIdentityNotByAddress) {
  const AXAttributeResult first = readSystemWide("AXFocusedUIElement");
  const AXAttributeResult second = readSystemWide("AXFocusedUIElement");
  const auto& a = std::get<AXElement>(first.value);
  const auto& b = std::get<AXElement>(second.value);
  EXPECT_NE(&a.object(), &b.object());
  EXPECT_TRUE(a == b);
  EXPECT_EQ(a.hash(), b.hash());
  EXPECT_FALSE(a == desktop.handle(notesField));

  Accessibility& ax = desktop.accessibility();
  EXPECT_TRUE(holdsElement(readSystemWide("AXFocusedApplication"), ax.applicationElement(kEditor)));
  EXPECT_TRUE(holdsElement(read(ax.applicationElement(kEditor), "AXFocusedWindow"),
                           desktop.handle(editorWindow)));
  EXPECT_TRUE(holdsElement(read(field, "AXWindow"), desktop.handle(editorWindow)));
  EXPECT_EQ(ax.processId(a).pid, kEditor);

  // A handle of another desktop is a different element even with the same number.
  SimulatedDesktop other(time);
  EXPECT_FALSE(desktop.handle(field) == other.handle(field));
}

TEST_F(DesktopTest, NothingFocusedAnswersNoValue) {
  desktop.setFocus(FocusTarget{});
  EXPECT_EQ(readSystemWide("AXFocusedApplication").error, AXError::noValue);
  EXPECT_EQ(readSystemWide("AXFocusedUIElement").error, AXError::noValue);
  EXPECT_FALSE(desktop.workspace().frontmostApplication());

  // An application with a focused window and no focused element.
  desktop.setFocus(FocusTarget{kNotes, notesWindow, kNoElement});
  EXPECT_EQ(readSystemWide("AXFocusedUIElement").error, AXError::noValue);
  EXPECT_TRUE(
      holdsElement(read(desktop.accessibility().applicationElement(kNotes), "AXFocusedWindow"),
                   desktop.handle(notesWindow)));
  EXPECT_EQ(desktop.workspace().frontmostApplication()->bundleIdentifier, "com.example.notes");
}

TEST_F(DesktopTest, FocusMovesRightAfterTheNthSystemWideRead) {
  desktop.moveFocusAfterSystemWideReads("AXFocusedApplication", 1,
                                        desktop.focusTargetOf(notesField));
  Accessibility& ax = desktop.accessibility();
  EXPECT_TRUE(holdsElement(readSystemWide("AXFocusedUIElement"), desktop.handle(field)));
  EXPECT_TRUE(holdsElement(readSystemWide("AXFocusedApplication"), ax.applicationElement(kEditor)));
  // The confirming read sees the move.
  EXPECT_TRUE(holdsElement(readSystemWide("AXFocusedApplication"), ax.applicationElement(kNotes)));
  EXPECT_TRUE(holdsElement(readSystemWide("AXFocusedUIElement"), desktop.handle(notesField)));
  EXPECT_EQ(desktop.counters().systemWideReads.at("AXFocusedApplication"), 2);
}

TEST_F(DesktopTest, FocusMovesAtAVirtualTime) {
  desktop.moveFocusAt(time.now() + std::chrono::milliseconds(50),
                      desktop.focusTargetOf(notesField));
  time.advanceBy(std::chrono::milliseconds(49));
  EXPECT_EQ(desktop.focusedElement(), field);
  time.advanceBy(std::chrono::milliseconds(1));
  EXPECT_EQ(desktop.focusedElement(), notesField);
  EXPECT_EQ(desktop.focusedApplication(), kNotes);
}

TEST_F(DesktopTest, FocusMovesOnThePasteKeystrokeAfterThePasteLanded) {
  desktop.moveFocusOnPaste(desktop.focusTargetOf(notesField));
  paste("abc");
  EXPECT_EQ(desktop.value(field), "abc");
  EXPECT_EQ(desktop.value(notesField), "");
  EXPECT_EQ(desktop.focusedElement(), notesField);
  paste("d");  // the trigger fired once
  EXPECT_EQ(desktop.value(notesField), "d");
  EXPECT_EQ(desktop.focusedElement(), notesField);
}

TEST_F(DesktopTest, InjectedErrorsAndEndedProcesses) {
  desktop.setAttributeError(field, "AXSelectedTextRange", AXError::cannotComplete);
  EXPECT_EQ(read(field, "AXSelectedTextRange").error, AXError::cannotComplete);
  EXPECT_EQ(desktop.accessibility()
                .isAttributeSettable(desktop.handle(field), "AXSelectedTextRange")
                .error,
            AXError::cannotComplete);
  desktop.setProcessIdError(field, AXError::cannotComplete);
  EXPECT_EQ(desktop.accessibility().processId(desktop.handle(field)).error,
            AXError::cannotComplete);
  desktop.setSystemWideError("AXFocusedApplication", AXError::cannotComplete);
  EXPECT_EQ(readSystemWide("AXFocusedApplication").error, AXError::cannotComplete);
  EXPECT_EQ(read(desktop.accessibility().applicationElement(4242), "AXFocusedUIElement").error,
            AXError::cannotComplete);

  desktop.endProcess(kEditor);
  EXPECT_EQ(read(field, "AXRole").error, AXError::invalidUIElement);
  EXPECT_FALSE(desktop.focusedApplication());
  const auto running = desktop.workspace().runningApplications();
  ASSERT_EQ(running.size(), 1u);
  EXPECT_EQ(running[0].pid, kNotes);
}

TEST_F(DesktopTest, SettableAttributesFollowTheKind) {
  Accessibility& ax = desktop.accessibility();
  EXPECT_TRUE(ax.isAttributeSettable(desktop.handle(field), "AXValue").settable);
  const ElementId button = desktop.addElement(ElementSpec(ElementKind::button, editorWindow));
  EXPECT_FALSE(ax.isAttributeSettable(desktop.handle(button), "AXValue").settable);
  EXPECT_EQ(std::get<std::string>(read(button, "AXRole").value), "AXButton");
  const ElementId readOnly =
      desktop.addElement(ElementSpec(ElementKind::textArea, editorWindow).withSettable({}));
  EXPECT_FALSE(ax.isAttributeSettable(desktop.handle(readOnly), "AXValue").settable);
}

TEST_F(DesktopTest, AttributeWritesActLikeTheApplicationWould) {
  Accessibility& ax = desktop.accessibility();
  EXPECT_EQ(ax.setAttributeValue(desktop.handle(field), "AXValue", std::string("typed")),
            AXError::success);
  EXPECT_EQ(desktop.value(field), "typed");
  EXPECT_EQ(desktop.selectedRange(field), (TextRange{5, 0}));
  EXPECT_EQ(ax.setAttributeValue(desktop.handle(field), "AXValue", TextRange{}),
            AXError::illegalArgument);
  const ElementId button = desktop.addElement(ElementSpec(ElementKind::button, editorWindow));
  EXPECT_EQ(ax.setAttributeValue(desktop.handle(button), "AXValue", std::string("x")),
            AXError::attributeUnsupported);

  EXPECT_EQ(ax.setAttributeValue(desktop.handle(notesField), "AXFocused", true), AXError::success);
  EXPECT_EQ(desktop.focusedApplication(), kNotes);
  EXPECT_EQ(desktop.focusedElement(), notesField);
  EXPECT_EQ(ax.performAction(desktop.handle(button), "AXPress"), AXError::success);
  EXPECT_EQ(desktop.counters().actions.at("AXPress"), 1);
}

TEST_F(DesktopTest, HelperProcessesManyGenerationsDown) {
  ProcessId parent = kEditor;
  for (ProcessId pid = 700; pid < 712; ++pid) {
    desktop.addProcess(pid, parent);
    parent = pid;
  }
  const ElementId deep =
      desktop.addElement(ElementSpec(ElementKind::textField, editorWindow).withPid(711));
  EXPECT_EQ(desktop.accessibility().processId(desktop.handle(deep)).pid, 711);

  ProcessInfo& processes = desktop.processInfo();
  int generations = 0;
  for (std::optional<ProcessId> pid = 711; pid && *pid != kEditor;
       pid = processes.parentProcessId(*pid)) {
    ++generations;
  }
  EXPECT_EQ(generations, 12);
  EXPECT_EQ(processes.parentProcessId(kEditor), 1);
  EXPECT_EQ(processes.currentProcessId(), SimulatedDesktop::kDefaultCurrentProcess);

  desktop.setParentReadFails(705, true);
  EXPECT_FALSE(processes.parentProcessId(705));
  desktop.endProcess(703);
  EXPECT_FALSE(processes.isAlive(703));
  EXPECT_FALSE(processes.parentProcessId(703));
  EXPECT_EQ(processes.parentProcessId(704), 1);  // orphans go to process 1
  EXPECT_FALSE(processes.parentProcessId(99999));
}

TEST_F(DesktopTest, PasteboardChangeCountMovesOncePerWrite) {
  Pasteboard& pasteboard = desktop.pasteboard();
  const std::int64_t start = pasteboard.changeCount();
  EXPECT_EQ(pasteboard.clearContents(), start + 1);
  EXPECT_FALSE(pasteboard.string());
  EXPECT_TRUE(pasteboard.setString("one"));
  EXPECT_EQ(pasteboard.changeCount(), start + 1);  // clear and set are one change
  EXPECT_TRUE(pasteboard.setString("two"));        // a set on its own is a change
  EXPECT_EQ(pasteboard.changeCount(), start + 2);

  desktop.simulateUserCopy("user");
  EXPECT_EQ(pasteboard.changeCount(), start + 3);
  EXPECT_EQ(pasteboard.string(), "user");

  desktop.setPasteboardSetStringFails(true);
  pasteboard.clearContents();
  EXPECT_FALSE(pasteboard.setString("refused"));
  EXPECT_FALSE(pasteboard.string());
  EXPECT_EQ(pasteboard.changeCount(), start + 4);

  const DesktopCounters counters = desktop.counters();
  EXPECT_EQ(counters.pasteboardClears, 2);
  EXPECT_EQ(counters.pasteboardSetStrings, 3);
  EXPECT_EQ(counters.pasteboardWrites(), 5);
}

TEST_F(DesktopTest, EventsAreRecordedWithTheirFieldsAndMoveThePointer) {
  InputEvents& events = desktop.inputEvents();
  desktop.setPointer({100, 200});
  auto key = events.createKeyboardEvent(nullptr, 36, true);
  key->setFlags(kEventFlagShift);
  key->setIntegerField(EventField::eventSourceUserData, -77);
  events.post(EventTapLocation::hid, *key);

  auto here = events.createEvent(nullptr);
  EXPECT_EQ(here->location(), (ScreenPoint{100, 200}));
  auto move =
      events.createMouseEvent(nullptr, EventType::mouseMoved, {110, 190}, MouseButton::left);
  events.post(EventTapLocation::hid, *move);
  EXPECT_EQ(desktop.pointer(), (ScreenPoint{110, 190}));
  auto scroll = events.createScrollWheelEvent(nullptr, ScrollUnit::pixel, -32767);
  events.post(EventTapLocation::session, *scroll);

  const auto posted = desktop.postedEvents();
  ASSERT_EQ(posted.size(), 3u);
  EXPECT_EQ(posted[0].type, EventType::keyDown);
  EXPECT_EQ(posted[0].keyCode, 36);
  EXPECT_EQ(posted[0].flags, kEventFlagShift);
  EXPECT_EQ(posted[0].userData, -77);
  EXPECT_EQ(posted[1].type, EventType::mouseMoved);
  EXPECT_EQ(posted[1].location, (ScreenPoint{110, 190}));
  EXPECT_EQ(posted[2].tap, EventTapLocation::session);
  EXPECT_EQ(posted[2].scrollDelta, -32767);
}

TEST_F(DesktopTest, EventCreationCanFailAtOnceOrAfterSomeEvents) {
  InputEvents& events = desktop.inputEvents();
  desktop.setEventCreationFails(true);
  EXPECT_EQ(events.createSource(EventSourceState::hidSystem), nullptr);
  EXPECT_EQ(events.createEvent(nullptr), nullptr);
  EXPECT_EQ(events.createKeyboardEvent(nullptr, 9, true), nullptr);
  EXPECT_EQ(events.createMouseEvent(nullptr, EventType::leftMouseDown, {}, MouseButton::left),
            nullptr);
  EXPECT_EQ(events.createScrollWheelEvent(nullptr, ScrollUnit::pixel, 1), nullptr);

  // The key-down can be made, the key-up not: a host must then post neither.
  desktop.setEventCreationFails(false);
  desktop.limitEventCreations(1);
  EXPECT_NE(events.createKeyboardEvent(nullptr, 9, true), nullptr);
  EXPECT_EQ(events.createKeyboardEvent(nullptr, 9, false), nullptr);
  EXPECT_EQ(desktop.counters().eventsPosted, 0);
  EXPECT_EQ(desktop.counters().eventsCreated, 7);
}

TEST_F(DesktopTest, CountersTellWhatTheHostAsked) {
  EXPECT_TRUE(desktop.accessibility().isProcessTrusted());
  desktop.setProcessTrusted(false);
  EXPECT_FALSE(desktop.accessibility().isProcessTrusted());
  desktop.resetCounters();
  readSystemWide("AXFocusedUIElement");
  read(field, "AXValue");
  read(field, "AXValue");
  const DesktopCounters counters = desktop.counters();
  EXPECT_EQ(counters.reads("AXValue"), 2);
  EXPECT_EQ(counters.reads("AXFocusedUIElement"), 1);
  EXPECT_EQ(counters.pasteboardWrites(), 0);
  EXPECT_EQ(counters.eventsPosted, 0);
}

// Host threads (command loop, quick-add queue) call in at once; every call must stay whole.
TEST_F(DesktopTest, CallsFromManyThreadsAreEachApplied) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 500;
  desktop.simulateUserCopy("x");
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this] {
      for (int i = 0; i < kRounds; ++i) {
        postKey(9, kEventFlagCommand);
        readSystemWide("AXFocusedUIElement");
        read(field, "AXValue");
        desktop.pasteboard().string();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(desktop.value(field), std::string(kThreads * kRounds, 'x'));
  EXPECT_EQ(desktop.selectedRange(field), (TextRange{kThreads * kRounds, 0}));
  const DesktopCounters counters = desktop.counters();
  EXPECT_EQ(counters.pasteboardStringReads, kThreads * kRounds);
  EXPECT_EQ(counters.eventsPosted, 2 * kThreads * kRounds);
  EXPECT_EQ(counters.reads("AXValue"), kThreads * kRounds);
}

}  // namespace
}  // namespace orvix::platform::simulated
