// Selection hints (their spacing, their target and its withdrawal) and the copy command that
// copies from a hinted target.
#include "input_host_fixture.h"

namespace orvix::input_host::testing {
namespace {

using platform::kEventFlagCommand;
using platform::kEventFlagShift;
using std::chrono::milliseconds;

constexpr std::uint16_t keyRight = 124;
constexpr std::uint16_t keyC = 8;

class QuickAddSelectionTest : public InputHostTest {
 protected:
  QuickAddSelectionTest() {
    desktop.setValue(field, "Kubernetes");
    desktop.setSelectedRange(field, platform::TextRange{0, 10});
    grantPermission();
    send(R"({"schemaVersion":2,"command":"vocabulary.quick-add.configure","commandId":"q","enabled":true})");
    time.runUntilIdle();
    output.clear();
  }
  void shiftRight() {
    desktop.userKeyDown(keyRight, kEventFlagShift, kEditorPid);
    time.runUntilIdle();
  }
  std::vector<Json> named(const std::string& name) {
    std::vector<Json> found;
    for (auto& event : eventsOf(output)) {
      if (event.value("event", "") == name) found.push_back(std::move(event));
    }
    return found;
  }
  std::vector<Json> hints() { return named("vocabulary.quick-add.selection-hint"); }
  std::size_t clears() { return named("vocabulary.quick-add.selection-cleared").size(); }
  // Hints once, and answers the target's id.
  std::string hint() {
    output.clear();
    shiftRight();
    time.advanceBy(milliseconds(1));
    const auto found = hints();
    EXPECT_EQ(found.size(), 1u);
    output.clear();
    return found.empty() ? "" : found[0].value("copyTargetId", "");
  }
  // The copy command's answer, once its work on the quick-add queue is over.
  Json copy(std::optional<std::string> copyTargetId) {
    Json command = {{"schemaVersion", 2}, {"command", "vocabulary.quick-add.copy"},
                    {"commandId", "copy"}};
    if (copyTargetId) command["copyTargetId"] = *copyTargetId;
    output.clear();
    host.handleLine(command.dump());
    time.advanceBy(milliseconds(900));
    const auto results = named("vocabulary.quick-add.selection-result");
    EXPECT_EQ(results.size(), 1u);
    return results.empty() ? Json() : results[0];
  }
  std::vector<std::string> diagnosticSteps() {
    std::vector<std::string> steps;
    for (const auto& event : named("vocabulary.quick-add.diagnostic")) {
      steps.push_back(event["diagnostic"].value("step", "") + "/" +
                      event["diagnostic"].value("reason", ""));
    }
    return steps;
  }
  static bool has(const std::vector<std::string>& steps, const std::string& step) {
    return std::find(steps.begin(), steps.end(), step) != steps.end();
  }
};

TEST_F(QuickAddSelectionTest, HintsAreSpacedAndTheLastGestureOfABurstWins) {
  const auto start = time.now();
  for (int press = 0; press < 5; ++press) {
    if (press > 0) time.advanceBy(milliseconds(100));
    shiftRight();
  }
  // The first press is announced at once; the three between give none.
  EXPECT_EQ(hints().size(), 1u);
  EXPECT_EQ(clears(), 5u);
  const auto id = hints()[0].value("copyTargetId", "");
  EXPECT_TRUE(id.starts_with("selection-"));
  EXPECT_EQ(hints()[0].value("eventId", ""), id);
  time.advanceTo(start + milliseconds(749));
  EXPECT_EQ(hints().size(), 1u);
  time.advanceTo(start + milliseconds(751));
  ASSERT_EQ(hints().size(), 2u);
  EXPECT_NE(hints()[1].value("copyTargetId", ""), id);
  // Pointer gestures are diagnosed under the keyboard's source too.
  for (const auto& event : named("vocabulary.quick-add.diagnostic")) {
    EXPECT_EQ(event["diagnostic"].value("source", ""), "keyboard");
  }
}

TEST_F(QuickAddSelectionTest, TheTargetIsWithdrawnWhenItsWindowLeavesTheFrontOrAfterAMinute) {
  hint();
  const auto other = desktop.addWindow(kEditorPid, "Other");
  desktop.setFocus(FocusTarget{kEditorPid, other, platform::simulated::kNoElement});
  time.advanceBy(milliseconds(100));
  EXPECT_EQ(clears(), 1u);

  desktop.focusElement(field);
  time.advanceBy(milliseconds(1000));
  hint();
  // A copy key keeps the target and its watch; a minute later the target goes.
  desktop.userKeyDown(keyC, kEventFlagCommand, kEditorPid);
  time.advanceBy(std::chrono::seconds(59));
  EXPECT_EQ(clears(), 0u);
  time.advanceBy(std::chrono::seconds(1));
  EXPECT_EQ(clears(), 1u);
}

TEST_F(QuickAddSelectionTest, AHintedSelectionIsCopiedOnRequest) {
  const auto id = hint();
  const Json result = copy(id);
  EXPECT_EQ(result.value("outcome", ""), "selected");
  EXPECT_EQ(result.value("text", ""), "Kubernetes");
  EXPECT_EQ(desktop.pasteboardText(), "Kubernetes");
  EXPECT_EQ(clears(), 0u);  // the target stays
  EXPECT_TRUE(has(diagnosticSteps(), "copy-dispatch/ready"));
  // The host's own Command-C carries the quick-add mark, so its tap did not take it as a copy.
  const auto downs = keyDowns();
  ASSERT_FALSE(downs.empty());
  EXPECT_EQ(downs.back().userData, host.quickAdd().quickAddCopyEventMark());
  EXPECT_TRUE(named("vocabulary.quick-add.observation").empty());

  // Without a target id and without a target: whatever has the focus.
  desktop.userKeyDown(7, 0, kEditorPid);  // typing withdraws the target
  time.runUntilIdle();
  EXPECT_EQ(copy(std::nullopt).value("text", ""), "Kubernetes");
  // A withdrawn target's id is refused at once, without a key.
  const auto posted = keyDowns().size();
  EXPECT_EQ(copy(id), (Json{{"schemaVersion", 2},
                            {"event", "vocabulary.quick-add.selection-result"},
                            {"commandId", "copy"},
                            {"outcome", "unavailable"}}));
  EXPECT_EQ(keyDowns().size(), posted);
}

TEST_F(QuickAddSelectionTest, ACopyThatCannotBeMadeIsUnavailable) {
  // An application that ignores Command-C: the wait ends at the deadline.
  desktop.setCopyBehaviour(kEditorPid, {platform::simulated::CopyWrites::nothing, {}});
  auto id = hint();
  EXPECT_EQ(copy(id).value("outcome", ""), "unavailable");
  EXPECT_TRUE(has(diagnosticSteps(), "clipboard/timeout"));
  EXPECT_EQ(clears(), 0u);

  // The target's window is no longer in front: withdrawn as well.
  desktop.setCopyBehaviour(kEditorPid, {});
  time.advanceBy(milliseconds(1000));
  id = hint();
  desktop.addProcess(800, 1);
  desktop.addOverlayWindow(800, 0);
  EXPECT_EQ(copy(id).value("outcome", ""), "unavailable");
  EXPECT_GE(clears(), 1u);

  // Switched off: nothing is even looked at.
  send(R"({"schemaVersion":2,"command":"vocabulary.quick-add.configure","commandId":"q","enabled":false})");
  const auto reads = desktop.counters().windowListReads;
  EXPECT_EQ(copy(std::nullopt).value("outcome", ""), "unavailable");
  EXPECT_EQ(desktop.counters().windowListReads, reads);
}

TEST_F(QuickAddSelectionTest, QuickAddsShortTimeoutsDoNotShortenThePastes) {
  // Too slow for quick-add's short accessibility timeouts (its hint names the window alone),
  // not for a paste made after it.
  desktop.setApplicationCallCost(kEditorPid, milliseconds(50));
  shiftRight();
  time.advanceBy(milliseconds(500));
  EXPECT_EQ(hints().size(), 1u);
  desktop.setSelectedRange(field, platform::TextRange{10, 0});
  EXPECT_EQ(outcomeOf(commitText("paste", " cluster")), "committed");
  EXPECT_EQ(desktop.value(field), "Kubernetes cluster");
}

}  // namespace
}  // namespace orvix::input_host::testing
