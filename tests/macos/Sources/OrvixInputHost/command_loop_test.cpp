// The command loop: what is dropped silently, what is answered, cached and replayed.
#include "input_host_fixture.h"

#include "common/platform_name.h"
#include "common/text_length.h"

namespace orvix::input_host::testing {
namespace {

std::string repeat(std::string_view unit, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += unit;
  return out;
}

constexpr std::string_view kHan = "\xE4\xB8\xAD";  // one character, three bytes

class CommandLoopTest : public InputHostTest {};

TEST_F(CommandLoopTest, StartsWithHostReadyDenied) {
  MemoryLineSink sink;
  InputHost fresh(platformDesktop, time, sink);
  fresh.start();
  ASSERT_EQ(sink.lines().size(), 1u);
  const Json ready = eventsOf(sink).front();
  EXPECT_EQ(ready, (Json{{"schemaVersion", 2},
                         {"event", "host.ready"},
                         {"platform", platformName()},
                         {"permission", "denied"},
                         {"quickAddPermission", "denied"}}));
  EXPECT_EQ(sink.lines().front().back(), '\n');
}

TEST_F(CommandLoopTest, DropsInvalidLinesWithoutAnyOutput) {
  grantPermission();
  const std::string longId = repeat("a", 129);
  const std::string longText = repeat("x", 100001);
  const std::vector<std::string> dropped = {
      "",
      "not json",
      "[1,2]",
      R"({"schemaVersion":3,"command":"press-enter","commandId":"c","sessionId":"s"})",
      R"({"schemaVersion":"2","command":"press-enter","commandId":"c","sessionId":"s"})",
      R"({"schemaVersion":true,"command":"press-enter","commandId":"c","sessionId":"s"})",
      R"({"schemaVersion":2.5,"command":"press-enter","commandId":"c","sessionId":"s"})",
      R"({"command":"press-enter","commandId":"c","sessionId":"s"})",
      R"({"schemaVersion":2,"command":"press-enter","sessionId":"s"})",
      R"({"schemaVersion":2,"command":"press-enter","commandId":"","sessionId":"s"})",
      R"({"schemaVersion":2,"command":"press-enter","commandId":")" + longId + R"(","sessionId":"s"})",
      R"({"schemaVersion":2,"command":"press-enter","commandId":7,"sessionId":"s"})",
      R"({"schemaVersion":2,"command":"press-enter","commandId":"c"})",
      R"({"schemaVersion":2,"command":"press-enter","commandId":"c","sessionId":""})",
      R"({"schemaVersion":2,"command":"press-enter","commandId":"c","sessionId":")" + longId + R"("})",
      R"({"schemaVersion":2,"command":"press-enter","commandId":"c","sessionId":"s","extra":1})",
      R"({"schemaVersion":2,"command":"launch","commandId":"c","sessionId":"s"})",
      R"({"schemaVersion":2,"command":"commit-text","commandId":"c","sessionId":"s","text":"a","streaming":false})",
      R"({"schemaVersion":2,"command":"commit-text","commandId":"c","sessionId":"s","text":"a","streaming":1})",
      R"({"schemaVersion":2,"command":"commit-text","commandId":"c","sessionId":"s","text":""})",
      R"({"schemaVersion":2,"command":"commit-text","commandId":"c","sessionId":"s","text":"a\u0000b"})",
      R"({"schemaVersion":2,"command":"commit-text","commandId":"c","sessionId":"s","text":")" + longText + R"("})",
      R"({"schemaVersion":2,"command":"commit-text","commandId":"c","sessionId":"s"})",
      R"({"schemaVersion":2,"command":"commit-agent","commandId":"c","sessionId":"s","target":"cursor","text":"a"})",
      R"({"schemaVersion":2,"command":"permission.refresh","commandId":"c","prompt":"yes","responsiblePermission":"trusted"})",
      R"({"schemaVersion":2,"command":"permission.refresh","commandId":"c","prompt":true,"responsiblePermission":"granted"})",
      R"({"schemaVersion":2,"command":"vocabulary.quick-add.configure","commandId":"c","enabled":"true"})",
      R"({"schemaVersion":2,"command":"target.release","commandId":"c","sessionId":"s"})",
  };
  for (const auto& line : dropped) {
    EXPECT_TRUE(send(line).empty()) << line;
    EXPECT_TRUE(running) << line;
  }
  EXPECT_TRUE(desktop.postedEvents().empty());
  EXPECT_EQ(desktop.pasteboardText(), std::nullopt);
}

TEST_F(CommandLoopTest, LineLengthBoundIsInclusive) {
  grantPermission();
  // JSON allows trailing white space, so a valid command can be padded to any length.
  const std::string line = sessionCommand("press-enter", "big").dump();
  const std::string exact = line + std::string(maximumLineBytes - line.size(), ' ');
  EXPECT_TRUE(send(exact + " ").empty());
  EXPECT_EQ(answers(exact).size(), 1u);
}

TEST_F(CommandLoopTest, IdentifierLimitsCountCharacters) {
  grantPermission();
  const std::string longest = repeat(kHan, 128);
  ASSERT_GT(longest.size(), 128u);
  EXPECT_EQ(answer(sessionCommand("press-enter", longest, longest)).value("outcome", ""),
            "committed");
  EXPECT_TRUE(send(sessionCommand("press-enter", repeat(kHan, 129))).empty());
}

TEST_F(CommandLoopTest, TextLimitCountsCharacters) {
  grantPermission();
  const std::string longest = repeat("e\xCC\x81", 100000);  // 100000 clusters, 300000 bytes
  EXPECT_EQ(answers(commitText("long", longest)).size(), 1u);
  EXPECT_TRUE(send(commitText("longer", longest + "e")).empty());
}

TEST_F(CommandLoopTest, RepeatedCommandIdReplaysTheFirstAnswerWithoutActingAgain) {
  grantPermission();
  const Json first = answer(sessionCommand("press-enter", "c1"));
  EXPECT_EQ(first.value("outcome", ""), "committed");
  EXPECT_EQ(answer(sessionCommand("press-enter", "c1")), first);
  // Whatever the command says, a known id gets its old answer: no paste, no session lookup.
  EXPECT_EQ(answer(commitText("c1", "hello")), first);
  EXPECT_EQ(keyDowns().size(), 1u);
  EXPECT_EQ(desktop.value(field), "");
}

TEST_F(CommandLoopTest, ReleaseReusingACachedIdReplaysAndReleasesNothing) {
  grantPermission();
  send(sessionCommand("target.capture", "cap", "live"));
  ASSERT_EQ(outcomeOf(streamText("piece", "abc", "live")), "committed");
  const Json captured = answer(sessionCommand("target.capture", "cap", "live"));
  EXPECT_EQ(answer(sessionCommand("target.release", "cap", "live")), captured);
  EXPECT_TRUE(host.sessions().capturedTargets.contains("live"));
  EXPECT_EQ(host.sessions().streaming.find("live")->text, "abc");
}

TEST_F(CommandLoopTest, NumbersAndBooleansFollowTheJsonTypes) {
  grantPermission();
  // 2.0 is the integer 2.
  EXPECT_EQ(outcomeOf(Json::parse(R"({"schemaVersion":2.0,"command":"press-enter","commandId":"f","sessionId":"s"})")),
            "committed");
  // Only JSON true and false are booleans.
  EXPECT_TRUE(send(R"({"schemaVersion":2,"command":"permission.refresh","commandId":"p","prompt":1,"responsiblePermission":"denied"})").empty());
  EXPECT_TRUE(send(R"({"schemaVersion":2,"command":"vocabulary.quick-add.configure","commandId":"q","enabled":0})").empty());
  EXPECT_TRUE(host.quickAdd().responsibleAccessibilityTrusted());
}

TEST_F(CommandLoopTest, InvalidRefreshWithACachedIdIsReplayed) {
  const Json first = answer(sessionCommand("press-enter", "same"));
  EXPECT_EQ(answer(Json{{"schemaVersion", 2}, {"command", "permission.refresh"},
                        {"commandId", "same"}, {"prompt", "yes"},
                        {"responsiblePermission", "trusted"}}),
            first);
  EXPECT_FALSE(host.quickAdd().responsibleAccessibilityTrusted());
}

TEST_F(CommandLoopTest, CachedAnswersAreBoundedInBytesToo) {
  // One user-perceived character may carry any number of combining marks, so ids of 128
  // characters can be almost as long as a line: 80 such answers would otherwise all stay.
  std::string heavy = "e";
  for (int i = 0; i < 190000; ++i) heavy += "\xCC\x81";
  ASSERT_TRUE(isBoundedText(heavy, 2));
  for (int i = 0; i < 80; ++i) {
    const std::string id = std::to_string(i % 10) + heavy + std::to_string(i);
    ASSERT_EQ(answers(sessionCommand("press-enter", id)).size(), 1u);
    EXPECT_LE(host.cachedCommandBytes(), maximumCachedBytes);
  }
  EXPECT_LT(host.cachedCommandCount(), 80u);
  // The newest answer is still replayed: with the permission granted now, acting again would
  // answer "committed".
  grantPermission();
  EXPECT_EQ(outcomeOf(sessionCommand("press-enter", "9" + heavy + "79")), "failed");
}

TEST_F(CommandLoopTest, CacheEvictsOneAnswerPerInsertionBeyondCapacity) {
  // Without permission press-enter answers at once and touches nothing.
  for (std::size_t i = 0; i <= maximumCachedCommands; ++i) {
    ASSERT_EQ(send(sessionCommand("press-enter", "id" + std::to_string(i))).size(), 1u);
  }
  EXPECT_EQ(host.cachedCommandCount(), maximumCachedCommands);
  grantPermission();
  // id0 was evicted: it runs again, now with permission, and its answer evicts id1; id2 is
  // still replayed.
  EXPECT_EQ(outcomeOf(sessionCommand("press-enter", "id0")), "committed");
  EXPECT_EQ(outcomeOf(sessionCommand("press-enter", "id2")), "failed");
  EXPECT_EQ(outcomeOf(sessionCommand("press-enter", "id1")), "committed");
}

TEST_F(CommandLoopTest, UncachedCommandsRunEveryTime) {
  const Json refresh = {{"schemaVersion", 2},
                        {"command", "permission.refresh"},
                        {"commandId", "same"},
                        {"prompt", true},
                        {"responsiblePermission", "denied"}};
  for (int i = 0; i < 2; ++i) {
    const auto events = send(refresh);
    ASSERT_GE(events.size(), 1u);
    EXPECT_EQ(events[0], (Json{{"schemaVersion", 2},
                               {"event", "host.ready"},
                               {"platform", platformName()},
                               {"permission", "denied"},
                               {"quickAddPermission", "denied"}}));
  }
  // The same id used by an uncached command does not block a cached one later.
  EXPECT_EQ(outcomeOf(sessionCommand("press-enter", "same")), "failed");
}

TEST_F(CommandLoopTest, PermissionRefreshReportsAndReconfiguresQuickAdd) {
  const auto events = send(Json{{"schemaVersion", 2},
                                {"command", "permission.refresh"},
                                {"commandId", "p"},
                                {"prompt", false},
                                {"responsiblePermission", "trusted"}});
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[0].value("event", ""), "host.ready");
  EXPECT_EQ(events[0].value("permission", ""), "trusted");
  EXPECT_EQ(events[0].value("quickAddPermission", ""), "trusted");
  EXPECT_EQ(events[1], (Json{{"schemaVersion", 2},
                             {"event", "vocabulary.quick-add.status"},
                             {"permission", "trusted"}}));
  EXPECT_TRUE(host.quickAdd().responsibleAccessibilityTrusted());
}

TEST_F(CommandLoopTest, WithoutPermissionDeliveryCommandsAreRefused) {
  EXPECT_EQ(answer(sessionCommand("press-enter", "e")),
            (Json{{"schemaVersion", 2}, {"event", "command.result"}, {"commandId", "e"},
                  {"outcome", "failed"}, {"reason", "PERMISSION_DENIED"}}));
  const Json commit = answer(commitText("t", "hello"));
  EXPECT_EQ(commit.value("outcome", ""), "copy-only");
  EXPECT_EQ(commit.value("reason", ""), "PERMISSION_DENIED");
  EXPECT_EQ(desktop.pasteboardText(), "hello");
  const Json agent = answer(Json{{"schemaVersion", 2}, {"command", "commit-agent"},
                                 {"commandId", "a"}, {"sessionId", "s"}, {"target", "codex"},
                                 {"text", "hi"}});
  EXPECT_EQ(agent.value("reason", ""), "PERMISSION_DENIED");
  EXPECT_TRUE(send(R"({"schemaVersion":1,"command":"pointer.click"})").empty());
  EXPECT_TRUE(desktop.postedEvents().empty());
  // target.capture does not look at the permission.
  EXPECT_EQ(outcomeOf(sessionCommand("target.capture", "cap")), "editable");
}

TEST_F(CommandLoopTest, ShutdownSwitchesQuickAddOffAndEndsTheLoop) {
  grantPermission();
  send(R"({"schemaVersion":2,"command":"vocabulary.quick-add.configure","commandId":"q","enabled":true})");
  ASSERT_TRUE(host.quickAdd().enabled());
  // With an extra key it is not a shutdown.
  send(R"({"schemaVersion":2,"command":"shutdown","commandId":"x","now":true})");
  EXPECT_TRUE(running);
  const auto events = send(R"({"schemaVersion":2,"command":"shutdown","commandId":"x"})");
  EXPECT_FALSE(running);
  EXPECT_FALSE(host.quickAdd().enabled());
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events[0].value("event", ""), "vocabulary.quick-add.status");
}

TEST_F(CommandLoopTest, EndOfInputEndsWithoutSwitchingQuickAddOff) {
  grantPermission();
  send(R"({"schemaVersion":2,"command":"vocabulary.quick-add.configure","commandId":"q","enabled":true})");
  output.clear();
  class Empty final : public ByteSource {
   public:
    std::ptrdiff_t readSome(char*, std::size_t) override { return 0; }
  } input;
  host.run(input);
  EXPECT_TRUE(host.quickAdd().enabled());
  EXPECT_TRUE(output.lines().empty());
}

TEST_F(CommandLoopTest, ConfigureQuickAddFollowsThePermission) {
  const std::string enable =
      R"({"schemaVersion":2,"command":"vocabulary.quick-add.configure","commandId":"q","enabled":true})";
  auto events = send(enable);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0], (Json{{"schemaVersion", 2},
                             {"event", "vocabulary.quick-add.status"},
                             {"permission", "denied"}}));
  EXPECT_EQ(events[1].at("diagnostic").at("step"), "permission");
  EXPECT_EQ(events[1].at("diagnostic").at("mainTrusted"), false);
  EXPECT_EQ(events[2].value("event", ""), "vocabulary.quick-add.selection-cleared");
  EXPECT_TRUE(host.quickAdd().enabled());

  grantPermission();
  // Enabled and trusted: observation starts, nothing is withdrawn.
  events = send(enable);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].value("permission", ""), "trusted");
  // Never cached: the same id configures again.
  EXPECT_EQ(send(enable).size(), 2u);
}

TEST_F(CommandLoopTest, QuickAddCopyIsRecognisedByShapeAndNeverCached) {
  // Answered from the quick-add queue, once per command: switched off, at once "unavailable".
  const auto answered = [&](const Json& command) {
    send(command);
    time.runUntilIdle();
    return eventsOf(output);
  };
  const Json copy = {{"schemaVersion", 2}, {"command", "vocabulary.quick-add.copy"},
                     {"commandId", "k"}};
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(answered(copy), (std::vector<Json>{{{"schemaVersion", 2},
                                                  {"event", "vocabulary.quick-add.selection-result"},
                                                  {"commandId", "k"},
                                                  {"outcome", "unavailable"}}}));
  }
  Json withTarget = copy;
  withTarget["copyTargetId"] = repeat("a", 128);
  EXPECT_EQ(answered(withTarget).size(), 1u);
  withTarget["copyTargetId"] = repeat("a", 129);
  EXPECT_TRUE(answered(withTarget).empty());
  withTarget["copyTargetId"] = "";
  EXPECT_TRUE(answered(withTarget).empty());
}

}  // namespace
}  // namespace orvix::input_host::testing
