// The built program as the desktop application runs it, on the simulated default desktop: an
// editor in front with an empty text field focused.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/child_process.h"
#include "support/file_text.h"
#include "support/transcript.h"

namespace orvix::testing {
namespace {

const std::string kProgram = ORVIX_INPUT_HOST_PATH;
const std::string kTranscripts = ORVIX_INPUT_HOST_TRANSCRIPTS;

// Random event ids and measured durations differ every run; the transcript writes them as
// "<uuid>" and "<n>".
std::string normalised(const std::string& line) {
  static const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
  static const std::regex duration("\"durationMs\":[0-9]+");
  return std::regex_replace(std::regex_replace(line, uuid, "<uuid>"), duration,
                            "\"durationMs\":<n>");
}

ChildResult runSimulated(const std::string& input) {
  ChildOptions options;
  options.arguments = {"--simulate", "default"};
  return runChild(kProgram, options, input);
}

TEST(InputHostProcess, DefaultSessionTranscript) {
  const auto transcript = readTranscript(kTranscripts + "/default_session.txt");
  ASSERT_TRUE(transcript) << "missing transcript";
  const ChildResult result = runSimulated(transcript->input);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.standardError, "");
  std::vector<std::string> actual;
  for (const auto& line : linesOf(result.standardOutput)) actual.push_back(normalised(line));
  EXPECT_EQ(actual, transcript->expected);
}

TEST(InputHostProcess, InvalidLinesAreDroppedSilently) {
  // Each bad line is followed by a marker command; the output must hold only the start-up line
  // and the markers' answers, in order.
  const std::vector<std::string> bad = {
      "garbage",
      "{\"schemaVersion\":2",
      "[]",
      "{\"schemaVersion\":9,\"command\":\"press-enter\",\"commandId\":\"a\",\"sessionId\":\"s\"}",
      "{\"schemaVersion\":2,\"command\":\"press-enter\",\"commandId\":\"\",\"sessionId\":\"s\"}",
      "{\"schemaVersion\":2,\"command\":\"press-enter\",\"commandId\":\"a\"}",
      "{\"schemaVersion\":2,\"command\":\"fly\",\"commandId\":\"a\",\"sessionId\":\"s\"}",
      "{\"schemaVersion\":2,\"command\":\"commit-text\",\"commandId\":\"a\",\"sessionId\":\"s\","
      "\"text\":\"x\",\"streaming\":false}",
      "{\"schemaVersion\":2,\"command\":\"target.release\",\"commandId\":\"a\",\"sessionId\":\"s\"}",
      std::string(400001, ' '),
      "\xFF\xFE{}",
      std::string(200000, '['),
      "{\"schemaVersion\":2,\"command\":\"press-enter\",\"commandId\":\"a\",\"sessionId\":\"s\","
      "\"deep\":" + std::string(100000, '[') + std::string(100000, ']') + "}",
  };
  std::string input;
  for (std::size_t i = 0; i < bad.size(); ++i) {
    input += bad[i] + "\n";
    input += "{\"schemaVersion\":2,\"command\":\"press-enter\",\"commandId\":\"marker" +
             std::to_string(i) + "\",\"sessionId\":\"s\"}\n";
  }
  const ChildResult result = runSimulated(input);
  EXPECT_EQ(result.exitStatus, 0);
  const auto lines = linesOf(result.standardOutput);
  ASSERT_EQ(lines.size(), bad.size() + 1);
  EXPECT_NE(lines[0].find("\"event\":\"host.ready\""), std::string::npos);
  for (std::size_t i = 0; i < bad.size(); ++i) {
    EXPECT_NE(lines[i + 1].find("\"commandId\":\"marker" + std::to_string(i) + "\""),
              std::string::npos)
        << "after bad line " << i;
  }
}

TEST(InputHostProcess, EndOfInputExitsZero) {
  const ChildResult result = runSimulated("");
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(linesOf(result.standardOutput).size(), 1u);
}

TEST(InputHostProcess, ShutdownStopsReadingAndExitsZero) {
  const ChildResult result = runSimulated(
      "{\"schemaVersion\":2,\"command\":\"shutdown\",\"commandId\":\"x\"}\n"
      "{\"schemaVersion\":2,\"command\":\"press-enter\",\"commandId\":\"late\",\"sessionId\":\"s\"}\n");
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.standardOutput.find("late"), std::string::npos);
}

TEST(InputHostProcess, AReaderThatNeverReadsHoldsNeitherTheHostNorItsExit) {
  ChildOptions options;
  options.arguments = {"--simulate", "default"};
  ChildProcess child(kProgram, options);
  // Each command is answered by three lines, some 450 bytes: the answers fill the output pipe
  // several times over, while the commands themselves fit the input pipe, so they are all
  // delivered whether or not the host keeps reading.
  std::string input;
  for (int i = 0; i < 680; ++i) {
    input += "{\"schemaVersion\":2,\"command\":\"vocabulary.quick-add.configure\","
             "\"commandId\":\"c\",\"enabled\":true}\n";
  }
  input += "{\"schemaVersion\":2,\"command\":\"shutdown\",\"commandId\":\"x\"}\n";
  ASSERT_LT(input.size(), 65536u);
  ASSERT_TRUE(child.writeInput(input));
  EXPECT_EQ(child.waitForExit(std::chrono::seconds(20), ChildProcess::Reading::leaveOutputUnread),
            0);
  // What reached the pipe is whole lines from the start: leaving mid-write cut none.
  const ChildResult result = child.finish();
  EXPECT_TRUE(result.standardOutput.starts_with("{\"event\":\"host.ready\""));
  EXPECT_TRUE(result.standardOutput.ends_with("\n"));
}

TEST(InputHostProcess, WithoutSimulationTheMachineAnswersHonestly) {
  // Without a desktop session (no X server, no session bus) nothing may be reported as delivered.
  ChildOptions options;
  options.environment = {{"DISPLAY", std::nullopt}, {"DBUS_SESSION_BUS_ADDRESS", std::nullopt}};
  const ChildResult result = runChild(
      kProgram, options,
      "{\"schemaVersion\":2,\"command\":\"permission.refresh\",\"commandId\":\"p\","
      "\"prompt\":false,\"responsiblePermission\":\"trusted\"}\n"
      "{\"schemaVersion\":2,\"command\":\"target.capture\",\"commandId\":\"c\",\"sessionId\":\"s\"}\n"
      "{\"schemaVersion\":2,\"command\":\"commit-text\",\"commandId\":\"t\",\"sessionId\":\"s\","
      "\"text\":\"hi\"}\n"
      "{\"schemaVersion\":2,\"command\":\"press-enter\",\"commandId\":\"e\",\"sessionId\":\"s\"}\n");
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.standardOutput.find("committed"), std::string::npos);
  EXPECT_NE(result.standardOutput.find("\"outcome\":\"no-target\""), std::string::npos);
  EXPECT_NE(result.standardOutput.find("\"reason\":\"UNAVAILABLE\""), std::string::npos);
}

TEST(InputHostProcess, UnknownArgumentsAreAUsageError) {
  ChildOptions options;
  options.arguments = {"--simulate"};
  EXPECT_EQ(runChild(kProgram, options).exitStatus, 2);
  options.arguments = {"--simulate", "/nonexistent/scenario.json"};
  EXPECT_EQ(runChild(kProgram, options).exitStatus, 2);
}

// Through the real program and its real clock: Codex is launched, its composer found once it
// appears, the text pasted and submitted; the trace records go to standard error.
TEST(InputHostProcess, CommitsIntoTheSimulatedCodexWithItsTrace) {
  ChildOptions options;
  options.arguments = {"--simulate", "default"};
  options.environment = {{"ORVIX_INPUT_HOST_AGENT_TRACE", "1"}};
  const ChildResult result = runChild(
      kProgram, options,
      "{\"schemaVersion\":2,\"command\":\"permission.refresh\",\"commandId\":\"p\","
      "\"prompt\":false,\"responsiblePermission\":\"trusted\"}\n"
      "{\"schemaVersion\":2,\"command\":\"commit-agent\",\"commandId\":\"a\","
      "\"sessionId\":\"s\",\"target\":\"codex\",\"text\":\"Fix the flaky test\"}\n");
  EXPECT_EQ(result.exitStatus, 0);
  std::vector<std::string> stages;
  std::string answer;
  for (const auto& line : linesOf(result.standardOutput)) {
    const auto event = nlohmann::json::parse(line, nullptr, false);
    if (event.value("event", "") == "agent.observation") stages.push_back(event.value("stage", ""));
    if (event.value("event", "") == "command.result") answer = line;
  }
  EXPECT_EQ(answer, "{\"commandId\":\"a\",\"event\":\"command.result\",\"outcome\":\"committed\","
                    "\"schemaVersion\":2}");
  ASSERT_FALSE(stages.empty());
  EXPECT_EQ(stages.front(), "activation-begin");
  EXPECT_EQ(stages.back(), "draft-observed");
  // Every event has its whole record on standard error, with the keys the event leaves out.
  EXPECT_EQ(linesOf(result.standardError).size(), stages.size());
  EXPECT_NE(result.standardError.find("\"timeoutMs\":5000"), std::string::npos);
}

// A parent that never reads standard error (of one page here) while tracing is on: the trace
// records (about 1.1 KB a commit) must hold neither the commands nor the exit.
TEST(InputHostProcess, AStalledTraceReaderHoldsNeitherCommandsNorExit) {
  ChildOptions options;
  options.arguments = {"--simulate", "default"};
  options.environment = {{"ORVIX_INPUT_HOST_AGENT_TRACE", "1"}};
  options.stallStandardError = true;
  ChildProcess child(kProgram, options);
  ASSERT_TRUE(child.sendLine("{\"schemaVersion\":2,\"command\":\"permission.refresh\","
                             "\"commandId\":\"p\",\"prompt\":false,\"responsiblePermission\":\"trusted\"}"));
  for (int i = 0; i < 8; ++i) {
    ASSERT_TRUE(child.sendLine("{\"schemaVersion\":2,\"command\":\"commit-agent\",\"commandId\":\"a" +
                               std::to_string(i) + "\",\"sessionId\":\"s\",\"target\":\"codex\","
                               "\"text\":\"Fix the flaky test\"}"));
  }
  EXPECT_TRUE(child.awaitOutput("\"event\":\"command.result\"", std::chrono::seconds(30), 8));
  ASSERT_TRUE(child.sendLine("{\"schemaVersion\":2,\"command\":\"shutdown\",\"commandId\":\"x\"}"));
  EXPECT_EQ(child.waitForExit(std::chrono::seconds(10)), 0);
}

// The user of a shipped quick-add scenario (the editor with "Kubernetes" selected) acts on a
// real clock about a second after start-up; the host is switched on well before.
class QuickAddScenario {
 public:
  explicit QuickAddScenario(const std::string& name) : child_(kProgram, options(name)) {
    child_.sendLine(
        "{\"schemaVersion\":2,\"command\":\"permission.refresh\",\"commandId\":\"p\","
        "\"prompt\":false,\"responsiblePermission\":\"trusted\"}");
    child_.sendLine(
        "{\"schemaVersion\":2,\"command\":\"vocabulary.quick-add.configure\","
        "\"commandId\":\"q\",\"enabled\":true}");
  }
  ChildProcess& child() { return child_; }
  // The events named `name` so far.
  std::vector<nlohmann::json> events(const std::string& name) const {
    std::vector<nlohmann::json> found;
    for (const auto& line : linesOf(child_.outputSoFar())) {
      auto event = nlohmann::json::parse(line, nullptr, false);
      if (event.value("event", "") == name) found.push_back(std::move(event));
    }
    return found;
  }
  std::vector<std::string> stages() const {
    std::vector<std::string> found;
    for (const auto& event : events("vocabulary.quick-add.observation")) {
      found.push_back(event.value("stage", ""));
    }
    return found;
  }

 private:
  static ChildOptions options(const std::string& name) {
    ChildOptions options;
    options.arguments = {"--simulate", std::string(ORVIX_SCENARIOS_DIR) + "/" + name};
    return options;
  }
  ChildProcess child_;
};

TEST(InputHostProcess, ADoubleCopyBecomesACandidate) {
  QuickAddScenario scenario("quick-add-double-copy.json");
  ASSERT_TRUE(scenario.child().awaitOutput("vocabulary.quick-add.candidate", std::chrono::seconds(10)));
  const auto candidates = scenario.events("vocabulary.quick-add.candidate");
  ASSERT_EQ(candidates.size(), 1u);
  EXPECT_EQ(candidates[0].value("text", ""), "Kubernetes");
  // The presses are 300 ms apart on the scenario's clock; the tap sees them a little later.
  EXPECT_NEAR(candidates[0].value("intervalMs", 0), 300, 100);
  EXPECT_EQ(scenario.stages(), (std::vector<std::string>{"copy-key", "first-copy", "copy-key"}));
}

TEST(InputHostProcess, ASingleCopyIsNoCandidate) {
  QuickAddScenario scenario("quick-add-single-copy.json");
  ASSERT_TRUE(scenario.child().awaitOutput("\"first-copy\"", std::chrono::seconds(10)));
  // Past the pairing window: the candidate expired unseen.
  scenario.child().readFor(std::chrono::milliseconds(700));
  EXPECT_TRUE(scenario.events("vocabulary.quick-add.candidate").empty());
  EXPECT_EQ(scenario.stages(), (std::vector<std::string>{"copy-key", "first-copy"}));
}

TEST(InputHostProcess, ASelectionHintIsAnsweredByACopy) {
  QuickAddScenario scenario("quick-add-selection.json");
  ASSERT_TRUE(scenario.child().awaitOutput("vocabulary.quick-add.selection-hint",
                                           std::chrono::seconds(10)));
  const auto hint = scenario.events("vocabulary.quick-add.selection-hint").at(0);
  const std::string id = hint.value("copyTargetId", "");
  scenario.child().sendLine(
      "{\"schemaVersion\":2,\"command\":\"vocabulary.quick-add.copy\",\"commandId\":\"c\","
      "\"copyTargetId\":\"" + id + "\"}");
  ASSERT_TRUE(scenario.child().awaitOutput("vocabulary.quick-add.selection-result",
                                           std::chrono::seconds(10)));
  const auto result = scenario.events("vocabulary.quick-add.selection-result").at(0);
  EXPECT_EQ(result.value("outcome", ""), "selected");
  EXPECT_EQ(result.value("text", ""), "Kubernetes");
  // The host's own Command-C is not taken for the user's.
  EXPECT_TRUE(scenario.stages().empty());
}

}  // namespace
}  // namespace orvix::testing
