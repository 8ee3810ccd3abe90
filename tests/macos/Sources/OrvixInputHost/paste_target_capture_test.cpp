// "target.capture": outcomes, retries while the application settles, and the table's bounds.
#include "input_host_fixture.h"

namespace orvix::input_host::testing {
namespace {

class CaptureTest : public InputHostTest {
 protected:
  std::string capture(const std::string& commandId, const std::string& sessionId = "session") {
    return outcomeOf(sessionCommand("target.capture", commandId, sessionId));
  }
};

TEST_F(CaptureTest, OutcomeFollowsWhatHoldsTheFocus) {
  EXPECT_EQ(capture("text"), "editable");
  desktop.focusElement(addElement(ElementKind::secureTextField));
  EXPECT_EQ(capture("secure"), "protected");
  desktop.focusElement(addElement(ElementKind::button));
  EXPECT_EQ(capture("button"), "no-target");

  ElementSpec spec(ElementKind::generic, window);
  const ElementId roleless = desktop.addElement(spec);
  desktop.setAttributeError(roleless, "AXRole", platform::AXError::noValue);
  desktop.focusElement(roleless);
  EXPECT_EQ(capture("roleless"), "context-only");

  FocusTarget nobody;
  desktop.setFocus(nobody);
  EXPECT_EQ(capture("nothing"), "no-target");
}

TEST_F(CaptureTest, AnElementThatTurnsEditableWithinTheRetriesIsEditable) {
  ElementSpec spec(ElementKind::generic, window);
  spec.role = "AXGroup";
  const ElementId late = desktop.addElement(spec);
  desktop.focusElement(late);
  // The application reports its editable element 60 ms late; the capture retries every 25 ms.
  desktop.moveFocusAfter(std::chrono::milliseconds(60), desktop.focusTargetOf(field));
  const Duration before = time.now();
  EXPECT_EQ(capture("late"), "editable");
  EXPECT_EQ(time.now() - before, std::chrono::milliseconds(75));
}

TEST_F(CaptureTest, RetriesStopAfterFourSleeps) {
  ElementSpec spec(ElementKind::generic, window);
  spec.role = "AXGroup";
  desktop.focusElement(desktop.addElement(spec));
  const Duration before = time.now();
  EXPECT_EQ(capture("group"), "context-only");
  EXPECT_EQ(time.now() - before, std::chrono::milliseconds(100));
}

TEST_F(CaptureTest, RecapturingKeepsOneEntryAtTheNewestEnd) {
  capture("a", "s1");
  capture("b", "s2");
  capture("c", "s1");
  EXPECT_EQ(host.sessions().capturedTargets.size(), 2u);
  EXPECT_EQ(host.sessions().capturedTargetOrder, (std::deque<std::string>{"s2", "s1"}));
}

TEST_F(CaptureTest, OldestSessionIsDroppedWithItsStreamingStateBeyondCapacity) {
  grantPermission();
  capture("first-capture", "first");
  ASSERT_EQ(outcomeOf(streamText("piece", "abc", "first")), "committed");
  for (std::size_t i = 1; i <= maximumCapturedTargets; ++i) {
    const auto number = std::to_string(i);
    capture(std::string("capture").append(number), std::string("s").append(number));
  }
  EXPECT_EQ(host.sessions().capturedTargets.size(), maximumCapturedTargets);
  EXPECT_FALSE(host.sessions().capturedTargets.contains("first"));
  EXPECT_EQ(host.sessions().streaming.find("first"), nullptr);
  // The pasteboard still holds the last piece at the count recorded for it: a hand-over would
  // happen now if the session's state had survived.
  const auto count = desktop.pasteboardChangeCount();
  EXPECT_TRUE(answers(sessionCommand("target.release", "release", "first")).empty());
  EXPECT_EQ(desktop.pasteboardText(), "abc");
  EXPECT_EQ(desktop.pasteboardChangeCount(), count);
}

TEST_F(CaptureTest, RepeatedCaptureCommandReplaysWithoutProbing) {
  EXPECT_EQ(capture("same"), "editable");
  desktop.resetCounters();
  desktop.focusElement(addElement(ElementKind::button));
  EXPECT_EQ(capture("same"), "editable");
  EXPECT_EQ(desktop.counters().systemWideReads.size(), 0u);
}

}  // namespace
}  // namespace orvix::input_host::testing
