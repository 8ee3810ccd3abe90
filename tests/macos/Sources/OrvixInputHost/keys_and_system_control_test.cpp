// press-enter, the marks on synthetic keys, and the pointer-control channel.
#include "input_host_fixture.h"

namespace orvix::input_host::testing {
namespace {

using platform::EventType;

class KeysTest : public InputHostTest {
 protected:
  KeysTest() { grantPermission(); }
  // Channel 1 is never answered. (A synthetic arrow key still withdraws quick-add's selection,
  // as every synthetic key does.)
  void control(const std::string& line) {
    EXPECT_TRUE(answers(line).empty()) << line;
  }
};

TEST_F(KeysTest, PressEnterPostsReturnWithTheHelperMark) {
  EXPECT_EQ(outcomeOf(sessionCommand("press-enter", "e")), "committed");
  const auto events = desktop.postedEvents();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].type, EventType::keyDown);
  EXPECT_EQ(events[1].type, EventType::keyUp);
  for (const auto& event : events) {
    EXPECT_EQ(event.keyCode, keyCodeReturn);
    EXPECT_EQ(event.flags, 0u);
    EXPECT_EQ(event.tap, platform::EventTapLocation::hid);
    EXPECT_EQ(event.userData, host.quickAdd().helperKeyEventMark());
  }
  EXPECT_LT(host.quickAdd().helperKeyEventMark(), 0);
  EXPECT_EQ(host.quickAdd().helperKeyEventMark(), -host.quickAdd().quickAddCopyEventMark());
}

TEST_F(KeysTest, PressEnterWhenEventsCannotBeCreated) {
  desktop.setEventCreationFails(true);
  const Json result = answer(sessionCommand("press-enter", "e"));
  EXPECT_EQ(result.value("outcome", ""), "failed");
  EXPECT_EQ(result.value("reason", ""), "UNAVAILABLE");
  // Half a key press is never posted: the up event failing stops the down event too.
  desktop.setEventCreationFails(false);
  desktop.limitEventCreations(1);
  EXPECT_EQ(outcomeOf(sessionCommand("press-enter", "f")), "failed");
  EXPECT_TRUE(desktop.postedEvents().empty());
}

TEST_F(KeysTest, QuickAddCopyKeysCarryTheirOwnMarkAndSkipInvalidation) {
  KeySynthesis keys(desktop.inputEvents(), host.quickAdd());
  output.clear();
  ASSERT_TRUE(keys.postKey(8, platform::kEventFlagCommand, /*quickAddCopy=*/true));
  EXPECT_TRUE(output.lines().empty());  // no selection-cleared: nothing was invalidated
  for (const auto& event : desktop.postedEvents()) {
    EXPECT_EQ(event.userData, host.quickAdd().quickAddCopyEventMark());
  }
  ASSERT_TRUE(keys.postKey(36));
  const auto events = eventsOf(output);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].value("event", ""), "vocabulary.quick-add.selection-cleared");
  EXPECT_TRUE(events[0].value("eventId", "").starts_with("selection-clear-"));
}

TEST_F(KeysTest, PointerMovesRelativeToWhereItIs) {
  desktop.setPointer({100, 200});
  control(R"({"schemaVersion":1,"command":"pointer.move","deltaX":32767,"deltaY":-5})");
  ASSERT_EQ(desktop.postedEvents().size(), 1u);
  const auto move = desktop.postedEvents()[0];
  EXPECT_EQ(move.type, EventType::mouseMoved);
  EXPECT_EQ(move.location, (platform::ScreenPoint{32867, 195}));
  // Channel 1 is never cached: the same move twice moves twice.
  desktop.clearPostedEvents();
  desktop.setPointer({0, 0});
  control(R"({"schemaVersion":1,"command":"pointer.move","deltaX":1,"deltaY":2.0})");
  control(R"({"schemaVersion":1,"command":"pointer.move","deltaX":1,"deltaY":2.0})");
  ASSERT_EQ(desktop.postedEvents().size(), 2u);
  EXPECT_EQ(desktop.postedEvents()[1].location, (platform::ScreenPoint{2, 4}));
}

TEST_F(KeysTest, InvalidControlCommandsAreIgnored) {
  for (const char* line : {
           R"({"schemaVersion":1,"command":"pointer.move","deltaX":32768,"deltaY":0})",
           R"({"schemaVersion":1,"command":"pointer.move","deltaX":-32768,"deltaY":0})",
           R"({"schemaVersion":1,"command":"pointer.move","deltaX":1})",
           R"({"schemaVersion":1,"command":"pointer.move","deltaX":1,"deltaY":1,"commandId":"c"})",
           R"({"schemaVersion":1,"command":"pointer.move","deltaX":1.5,"deltaY":1})",
           R"({"schemaVersion":1,"command":"pointer.move","deltaX":true,"deltaY":1})",
           R"({"schemaVersion":1,"command":"vertical.scroll","deltaY":40000})",
           R"({"schemaVersion":1,"command":"pointer.click","button":"left"})",
           R"({"schemaVersion":1,"command":"arrow.key","direction":"left"})",
           R"({"schemaVersion":1,"command":"arrow.key","direction":1})",
           R"({"schemaVersion":1,"command":"teleport"})",
           R"({"schemaVersion":1})",
       }) {
    control(line);
  }
  EXPECT_TRUE(desktop.postedEvents().empty());
}

TEST_F(KeysTest, ScrollClickAndArrows) {
  desktop.setPointer({10, 20});
  control(R"({"schemaVersion":1,"command":"vertical.scroll","deltaY":-120})");
  control(R"({"schemaVersion":1,"command":"pointer.click"})");
  control(R"({"schemaVersion":1,"command":"arrow.key","direction":"up"})");
  control(R"({"schemaVersion":1,"command":"arrow.key","direction":"down"})");
  const auto events = desktop.postedEvents();
  ASSERT_EQ(events.size(), 7u);
  EXPECT_EQ(events[0].type, EventType::scrollWheel);
  EXPECT_EQ(events[0].scrollDelta, -120);
  EXPECT_EQ(events[1].type, EventType::leftMouseDown);
  EXPECT_EQ(events[2].type, EventType::leftMouseUp);
  EXPECT_EQ(events[1].location, (platform::ScreenPoint{10, 20}));
  EXPECT_EQ(events[1].userData, 0);  // clicks carry no mark
  EXPECT_EQ(events[3].keyCode, keyCodeUpArrow);
  EXPECT_EQ(events[5].keyCode, keyCodeDownArrow);
}

}  // namespace
}  // namespace orvix::input_host::testing
