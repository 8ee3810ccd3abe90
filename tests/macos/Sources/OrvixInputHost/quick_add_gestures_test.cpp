// Quick-add's listen-only event tap, its thread, and what each tapped gesture does.
#include "input_host_fixture.h"

namespace orvix::input_host::testing {
namespace {

using platform::EventType;
using platform::kEventFlagCommand;
using platform::kEventFlagControl;
using platform::kEventFlagOption;
using platform::kEventFlagShift;
using Event = SimulatedDesktop::UserEvent;

constexpr std::uint16_t keyA = 0;
constexpr std::uint16_t keyC = 8;
constexpr std::uint16_t keyX = 7;

class QuickAddTapTest : public InputHostTest {
 protected:
  void configure(bool enabled) {
    send(Json{{"schemaVersion", 2},
              {"command", "vocabulary.quick-add.configure"},
              {"commandId", "configure"},
              {"enabled", enabled}});
  }
  // Quick-add on and trusted, its tap thread running.
  void enable() {
    grantPermission();
    configure(true);
    time.runUntilIdle();
    ASSERT_EQ(desktop.liveEventTaps(), 1u);
    output.clear();
  }
  // The event names the user's events led to, once the tap thread has run.
  std::vector<std::string> after(const std::function<void()>& user) {
    output.clear();
    user();
    time.runUntilIdle();
    std::vector<std::string> names;
    for (const auto& event : eventsOf(output)) {
      std::string name = event.value("event", "");
      // Appended, not concatenated: GCC 12 at -O3 warns falsely on `":" + std::string`.
      if (event.contains("stage")) name.append(":").append(event.value("stage", ""));
      names.push_back(name);
    }
    return names;
  }
  // What a selection gesture leads to once its hint had time to come, diagnostics left out.
  std::vector<std::string> afterGesture(const std::function<void()>& user) {
    output.clear();
    user();
    time.advanceBy(std::chrono::seconds(1));
    std::vector<std::string> names;
    for (const auto& event : eventsOf(output)) {
      const std::string name = event.value("event", "");
      if (name != "vocabulary.quick-add.diagnostic") names.push_back(name);
    }
    return names;
  }
  std::vector<std::string> afterKey(std::uint16_t keyCode, platform::EventFlags flags) {
    return after([&] { desktop.userKeyDown(keyCode, flags, kEditorPid); });
  }
  static Event mouse(EventType type, platform::ScreenPoint at, std::int64_t clicks = 1) {
    Event event;
    event.type = type;
    event.location = at;
    event.clickState = clicks;
    return event;
  }

  const std::vector<std::string> cleared{"vocabulary.quick-add.selection-cleared"};
  const std::vector<std::string> copyKey{"vocabulary.quick-add.observation:copy-key"};
  const std::vector<std::string> nothing{};
  const std::vector<std::string> hinted{"vocabulary.quick-add.selection-cleared",
                                        "vocabulary.quick-add.selection-hint"};
};

TEST_F(QuickAddTapTest, TheTapRunsOnlyWhileEnabledAndTrusted) {
  configure(true);
  time.runUntilIdle();
  EXPECT_EQ(desktop.counters().eventTapsCreated, 0);  // denied: no tap is even asked for

  // Two configures in quick succession start one thread and one tap.
  grantPermission();
  configure(true);
  configure(true);
  time.runUntilIdle();
  EXPECT_EQ(desktop.counters().eventTapsCreated, 1);
  EXPECT_EQ(desktop.liveEventTaps(), 1u);
  EXPECT_EQ(afterKey(keyC, kEventFlagCommand), copyKey);

  // Switching off takes the tap down; later keys reach nobody.
  configure(false);
  time.runUntilIdle();
  EXPECT_EQ(desktop.liveEventTaps(), 0u);
  EXPECT_EQ(afterKey(keyC, kEventFlagCommand), nothing);

  // Withdrawn permission does the same, and a new grant starts a new tap.
  configure(true);
  time.runUntilIdle();
  ASSERT_EQ(desktop.liveEventTaps(), 1u);
  send(Json{{"schemaVersion", 2}, {"command", "permission.refresh"}, {"commandId", "p"},
            {"prompt", false}, {"responsiblePermission", "denied"}});
  time.runUntilIdle();
  EXPECT_EQ(desktop.liveEventTaps(), 0u);
  grantPermission();
  time.runUntilIdle();
  EXPECT_EQ(desktop.liveEventTaps(), 1u);
  EXPECT_EQ(desktop.counters().eventTapsCreated, 3);
}

TEST_F(QuickAddTapTest, SwitchedOffAndOnWhileTheTapIsStillStartingLeavesOneTap) {
  grantPermission();
  configure(true);
  configure(false);
  configure(true);
  time.runUntilIdle();
  EXPECT_EQ(desktop.liveEventTaps(), 1u);
  EXPECT_EQ(afterKey(keyC, kEventFlagCommand), copyKey);
  configure(false);
  time.runUntilIdle();
  EXPECT_EQ(desktop.liveEventTaps(), 0u);
}

TEST_F(QuickAddTapTest, ARefusedTapIsTriedAgainByTheNextConfigure) {
  grantPermission();
  desktop.setEventTapRefused(true);
  // The status answer and its diagnostic only; the refusal itself is not reported.
  EXPECT_EQ(after([&] { configure(true); }),
            (std::vector<std::string>{"vocabulary.quick-add.status",
                                      "vocabulary.quick-add.diagnostic"}));
  EXPECT_EQ(desktop.liveEventTaps(), 0u);
  desktop.setEventTapRefused(false);
  configure(true);
  time.runUntilIdle();
  EXPECT_EQ(desktop.counters().eventTapsCreated, 2);
  EXPECT_EQ(desktop.liveEventTaps(), 1u);
}

TEST_F(QuickAddTapTest, KeysAreClassifiedByCodeAndModifiers) {
  enable();
  // Selection gestures withdraw the earlier target and announce a new one, whatever other
  // modifiers are held.
  const auto gestureKey = [&](std::uint16_t keyCode, platform::EventFlags flags) {
    return afterGesture([&] { desktop.userKeyDown(keyCode, flags, kEditorPid); });
  };
  EXPECT_EQ(gestureKey(keyA, kEventFlagCommand | kEventFlagOption), hinted);
  EXPECT_EQ(gestureKey(123, kEventFlagShift), hinted);
  EXPECT_EQ(afterKey(keyC, kEventFlagCommand), copyKey);
  // Another application's shortcut on C is an ordinary key: the selection goes.
  for (const auto extra : {kEventFlagShift, kEventFlagOption, kEventFlagControl}) {
    EXPECT_EQ(afterKey(keyC, kEventFlagCommand | extra), cleared) << extra;
  }
  EXPECT_EQ(afterKey(keyC, 0), cleared);
  EXPECT_EQ(afterKey(keyX, 0), cleared);
  // A modifier pressed alone changes nothing.
  for (const std::uint16_t modifier : {54, 55, 56, 58, 59, 60, 61, 62}) {
    EXPECT_EQ(afterKey(modifier, kEventFlagCommand), nothing) << modifier;
  }
  EXPECT_EQ(afterKey(122, kEventFlagShift), cleared);  // F1 is not a navigation key
}

TEST_F(QuickAddTapTest, TheHostsOwnMarkedEventsAreIgnored) {
  enable();
  for (const auto mark :
       {host.quickAdd().helperKeyEventMark(), host.quickAdd().quickAddCopyEventMark()}) {
    Event key;
    key.keyCode = keyX;
    key.mark = mark;
    EXPECT_EQ(after([&] { desktop.userEvent(key); }), nothing);
    key.keyCode = keyC;
    key.flags = kEventFlagCommand;
    EXPECT_EQ(after([&] { desktop.userEvent(key); }), nothing);
  }
  // A real synthetic key reaches the tap as well; only the command's own invalidation is seen.
  EXPECT_EQ(after([&] { send(sessionCommand("press-enter", "e")); }),
            (std::vector<std::string>{cleared[0], "command.result"}));
  // Any other value in the field is the user's.
  Event key;
  key.keyCode = keyX;
  key.mark = 42;
  EXPECT_EQ(after([&] { desktop.userEvent(key); }), cleared);
}

TEST_F(QuickAddTapTest, PointerGesturesClearAtThePressAndSelectByClicksOrDistance) {
  enable();
  EXPECT_EQ(after([&] { desktop.userEvent(mouse(EventType::leftMouseDown, {100, 100})); }),
            cleared);
  // A plain click (moved less than 8 points) selects nothing.
  EXPECT_EQ(after([&] { desktop.userEvent(mouse(EventType::leftMouseUp, {105, 105})); }), nothing);
  // A drag of 8 points selects.
  desktop.userEvent(mouse(EventType::leftMouseDown, {100, 100}));
  time.runUntilIdle();
  EXPECT_EQ(afterGesture([&] { desktop.userEvent(mouse(EventType::leftMouseUp, {100, 108})); }),
            hinted);
  // The press point is used once: the same release again is only a click.
  EXPECT_EQ(after([&] { desktop.userEvent(mouse(EventType::leftMouseUp, {300, 300})); }), nothing);
  // A double click selects without moving, even with no press seen.
  EXPECT_EQ(afterGesture([&] { desktop.userEvent(mouse(EventType::leftMouseUp, {0, 0}, 2)); }),
            hinted);
}

TEST_F(QuickAddTapTest, CopyPressesQueueAtMostTwoAndSealTheEarlier) {
  enable();
  desktop.simulateUserCopy("one");
  EXPECT_EQ(afterKey(keyC, kEventFlagCommand), copyKey);
  const auto first = host.quickAdd().pendingCopies();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0]->eventPid, kEditorPid);
  EXPECT_FALSE(first[0]->sealedChangeCount);

  desktop.simulateUserCopy("two");
  const auto atSecond = desktop.pasteboardChangeCount();
  // Pressed again before the first copy's next read, 12 ms on.
  time.advanceBy(std::chrono::milliseconds(5));
  afterKey(keyC, kEventFlagCommand);
  auto pending = host.quickAdd().pendingCopies();
  ASSERT_EQ(pending.size(), 2u);
  EXPECT_EQ(pending[0], first[0]);
  EXPECT_EQ(pending[0]->sealedChangeCount, atSecond);
  EXPECT_EQ(pending[1]->previousChangeCount, atSecond);
  EXPECT_EQ(pending[1]->copiedAt - pending[0]->copiedAt, 5'000'000u);

  // A third press pushes out the oldest.
  afterKey(keyC, kEventFlagCommand);
  pending = host.quickAdd().pendingCopies();
  ASSERT_EQ(pending.size(), 2u);
  EXPECT_NE(pending[0], first[0]);
  EXPECT_TRUE(pending[0]->sealedChangeCount);

  // Typing keeps them; a selection gesture too; the host's own pasteboard write does not.
  afterKey(keyX, 0);
  afterKey(keyA, kEventFlagCommand);
  EXPECT_EQ(host.quickAdd().pendingCopies().size(), 2u);
  host.quickAdd().beginClipboardWrite();
  host.quickAdd().invalidate();
  EXPECT_EQ(afterKey(keyC, kEventFlagCommand), nothing);  // not observed while the host writes
  host.quickAdd().endClipboardWrite();
  EXPECT_TRUE(host.quickAdd().pendingCopies().empty());
}

TEST_F(QuickAddTapTest, ATapTheSystemSwitchedOffIsResetAndSwitchedOnAgain) {
  enable();
  afterKey(keyC, kEventFlagCommand);
  for (const auto notice :
       {platform::kEventTapDisabledByTimeout, platform::kEventTapDisabledByUserInput}) {
    EXPECT_EQ(after([&] { desktop.disableEventTaps(notice); }), cleared);
    EXPECT_TRUE(host.quickAdd().pendingCopies().empty());
    EXPECT_EQ(afterKey(keyC, kEventFlagCommand), copyKey);
  }
}

TEST_F(QuickAddTapTest, TheTapThreadEndsWithTheHost) {
  // A host of the test's own, so that it can go while the test goes on.
  auto second = std::make_unique<InputHost>(platformDesktop, time, output);
  second->handleLine(Json{{"schemaVersion", 2},
                          {"command", "permission.refresh"},
                          {"commandId", "permission"},
                          {"prompt", false},
                          {"responsiblePermission", "trusted"}}
                         .dump());
  second->handleLine(Json{{"schemaVersion", 2},
                          {"command", "vocabulary.quick-add.configure"},
                          {"commandId", "configure"},
                          {"enabled", true}}
                         .dump());
  time.runUntilIdle();
  ASSERT_EQ(desktop.liveEventTaps(), 1u);
  // The tap thread waits in its loop; tearing the host down must stop and join it without
  // waiting for the loop's slice to run out. The join lets virtual time run: a thread left to
  // its slice would end a second later.
  const auto before = time.now();
  second.reset();
  EXPECT_EQ(time.now(), before);
  EXPECT_EQ(desktop.liveEventTaps(), 0u);
}

}  // namespace
}  // namespace orvix::input_host::testing
