// The built program as the desktop application runs it, on the simulated default audio world
// (a process tap, a screen-capture stream and a microphone delivering tones) and real time.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/json_wire.h"
#include "macos/Sources/OrvixAudioCaptureHost/capture_constants.h"
#include "macos/Sources/OrvixAudioCaptureHost/track_file_support.h"
#include "platform/simulated/audio/tick_reader.h"
#include "support/child_process.h"
#include "support/file_text.h"

namespace orvix::capture::testing {
namespace {

using orvix::testing::ChildOptions;
using orvix::testing::ChildProcess;
using orvix::testing::ChildResult;
using orvix::testing::linesOf;
using orvix::testing::runChild;
using namespace std::chrono_literals;

const std::string kProgram = ORVIX_AUDIO_CAPTURE_HOST_PATH;

// Every line is one JSON object with sorted keys and the envelope; answers the event names.
std::vector<std::string> checkedEventNames(const std::string& output) {
  std::vector<std::string> names;
  for (const auto& line : linesOf(output)) {
    const auto event = parseJsonObject(line);
    EXPECT_TRUE(event) << line;
    if (!event) continue;
    EXPECT_EQ(serializeCompact(*event).value(), line);
    EXPECT_EQ((*event)["schemaVersion"], 1);
    names.push_back((*event)["event"]);
  }
  return names;
}

std::vector<std::string> withoutProgress(std::vector<std::string> names) {
  std::erase(names, "recording.progress");
  return names;
}

class CaptureHostProcess : public ::testing::Test {
 protected:
  std::vector<std::string> arguments(const std::string& mode, bool simulate = true) {
    std::vector<std::string> values = {
        "--session-id",         sessionId, "--output", output, "--mode", mode,
        "--microphone-enabled", "true"};
    if (simulate) values.insert(values.end(), {"--simulate", "default"});
    return values;
  }

  // Starts the program and waits (generously: the machine may be loaded) for the recording.
  // A `launcher` (a program and its arguments) runs the host as its last argument.
  std::unique_ptr<ChildProcess> startRecording(const std::string& mode,
                                               std::vector<std::string> launcher = {}) {
    ChildOptions options;
    options.arguments = arguments(mode);
    std::string program = kProgram;
    if (!launcher.empty()) {
      program = launcher.front();
      launcher.erase(launcher.begin());
      launcher.push_back(kProgram);
      options.arguments.insert(options.arguments.begin(), launcher.begin(), launcher.end());
    }
    auto child = std::make_unique<ChildProcess>(program, options);
    EXPECT_TRUE(child->awaitOutput("recording.started", 30s)) << child->outputSoFar();
    return child;
  }

  // Waits for the progress ticks of `seconds` of recording, however slowly a loaded machine
  // gets there.
  static bool awaitSeconds(ChildProcess& child, std::size_t seconds) {
    constexpr std::size_t kTicksPerSecond = 1'000'000'000 / progressIntervalNanoseconds;
    return child.awaitOutput("\"recording.progress\"", 30s, seconds * kTicksPerSecond);
  }

  TemporaryDirectory directory;
  std::string output = directory.file("recording.pcm");
  std::string sessionId = "process-test";
};

TEST_F(CaptureHostProcess, InvalidArgumentsExitWithTwoAndCreateNothing) {
  ChildOptions options;
  options.arguments = {"--session-id", "s",     "--output",   output,
                       "--mode",       "media", "--simulate", "default"};
  const ChildResult result = runChild(kProgram, options);
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_EQ(result.standardOutput,
            "{\"code\":\"CAPTURE_FAILED\",\"event\":\"recording.failed\",\"schemaVersion\":1}\n");
  EXPECT_FALSE(fileExists(output + ".system.pcm"));
  EXPECT_FALSE(fileExists(output));
}

TEST_F(CaptureHostProcess, WithoutASimulatorThisMachineFailsHonestly) {
  ChildOptions options;
  options.arguments = arguments("media", /*simulate=*/false);
  // The machine's audio server is pointed at a socket nobody listens on, so the test never
  // reaches a real audio session and always sees a machine without one.
  options.environment = {{"PULSE_SERVER", "unix:" + directory.file("no-server")}};
  const ChildResult result = runChild(kProgram, options, "");
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.standardOutput,
            "{\"code\":\"CAPTURE_FAILED\",\"event\":\"recording.failed\",\"schemaVersion\":1}\n");
  EXPECT_EQ(result.standardError, "");
  EXPECT_FALSE(fileExists(output + ".system.pcm"));
}

TEST_F(CaptureHostProcess, AnUnusableScenarioFailsOnStandardOutputOnly) {
  ChildOptions options;
  options.arguments = arguments("media", /*simulate=*/false);
  options.arguments.insert(options.arguments.end(),
                           {"--simulate", directory.file("no-such-scenario.json")});
  const ChildResult result = runChild(kProgram, options, "");
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_EQ(result.standardOutput,
            "{\"code\":\"CAPTURE_FAILED\",\"event\":\"recording.failed\",\"schemaVersion\":1}\n");
  EXPECT_EQ(result.standardError, "");
  EXPECT_FALSE(fileExists(output + ".system.pcm"));
}

TEST_F(CaptureHostProcess, MediaRecordingStoppedAfterTwoSeconds) {
  auto child = startRecording("media");
  ASSERT_TRUE(awaitSeconds(*child, 2)) << child->outputSoFar();
  child->sendLine("{\"schemaVersion\":1,\"command\":\"stop\"}");
  const ChildResult result = child->finish();
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.standardError, "");
  const auto names = checkedEventNames(result.standardOutput);
  EXPECT_EQ(withoutProgress(names),
            (std::vector<std::string>{"recording.started", "recording.completed"}));
  EXPECT_GE(std::count(names.begin(), names.end(), "recording.progress"), 4);
  const std::string system = readBytes(output + ".system.pcm");
  EXPECT_EQ(readBytes(output), system);
  EXPECT_GE(system.size(), 2u * 16000 * 2 * 9 / 10);
  EXPECT_NE(result.standardOutput.find("\"byteLength\":" + std::to_string(system.size())),
            std::string::npos);
}

TEST_F(CaptureHostProcess, MeetingRecordingLeavesTwoEqualTracks) {
  auto child = startRecording("meeting");
  ASSERT_TRUE(awaitSeconds(*child, 2)) << child->outputSoFar();
  child->sendLine("{\"schemaVersion\":1,\"command\":\"pause\"}");
  std::this_thread::sleep_for(500ms);
  child->sendLine("{\"schemaVersion\":1,\"command\":\"resume\"}");
  child->sendLine("{\"schemaVersion\":1,\"command\":\"stop\"}");
  const ChildResult result = child->finish();
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(withoutProgress(checkedEventNames(result.standardOutput)),
            (std::vector<std::string>{"recording.started", "recording.completed"}));
  const auto system = readBytes(output + ".system.pcm");
  EXPECT_EQ(system.size(), readBytes(output + ".microphone.pcm").size());
  EXPECT_GT(system.size(), 0u);
  EXPECT_FALSE(fileExists(output));
}

// The scenario shipped for trying a route change: the default input changes twice, 80 ms apart,
// about 2 s after start-up, and the new microphone goes quiet from 3.5 to 5 s. Both devices tick
// at every whole second of the machine's clock, so the files show where each track holds which
// moment.
TEST_F(CaptureHostProcess, TheShippedRouteChangeAndStallLeaveOneRebuildAndAlignedTracks) {
  ChildOptions options;
  options.arguments = arguments("meeting", /*simulate=*/false);
  options.arguments.insert(options.arguments.end(),
                           {"--simulate", ORVIX_SCENARIOS_DIR "/capture-host-route-change.json"});
  ChildProcess child(kProgram, options);
  ASSERT_TRUE(child.awaitOutput("\"phase\":\"recovered\"", 30s)) << child.outputSoFar();
  // Past the stall and two more ticks.
  std::this_thread::sleep_for(5s);
  child.sendLine("{\"schemaVersion\":1,\"command\":\"stop\"}");
  const ChildResult result = child.finish();
  EXPECT_EQ(result.exitStatus, 0);
  // The stall is padded over, not taken for a dead engine.
  EXPECT_EQ(withoutProgress(checkedEventNames(result.standardOutput)),
            (std::vector<std::string>{"recording.started", "recording.microphone",
                                      "recording.microphone", "recording.completed"}));
  EXPECT_NE(
      result.standardOutput.find(
          R"("attempt":1,"event":"recording.microphone","phase":"recovering","reason":"default-input-changed")"),
      std::string::npos);
  EXPECT_EQ(readBytes(output + ".system.pcm").size(), readBytes(output + ".microphone.pcm").size());

  const auto system = platform::simulated::tickOnsetsInTrack(output + ".system.pcm");
  const auto microphone = platform::simulated::tickOnsetsInTrack(output + ".microphone.pcm");
  ASSERT_TRUE(system && microphone);
  const auto alignment = platform::simulated::tickAlignment(*system, *microphone);
  EXPECT_GE(alignment.pairs, 4u);
  EXPECT_LE(alignment.largestMilliseconds, 1.0);
  // The stall's tick is missing from the microphone track only.
  EXPECT_GT(system->size(), alignment.pairs);
}

// The scenario shipped for trying a lost process tap: its aggregate device dies about 2 s in.
// The recording ends by itself, once, as interrupted, with what was recorded kept.
TEST_F(CaptureHostProcess, TheShippedTapLossCompletesTheRecordingAsInterrupted) {
  ChildOptions options;
  options.arguments = arguments("meeting", /*simulate=*/false);
  options.arguments.insert(options.arguments.end(),
                           {"--simulate", ORVIX_SCENARIOS_DIR "/capture-host-tap-loss.json"});
  ChildProcess child(kProgram, options);
  ASSERT_TRUE(child.awaitOutput("recording.completed", 30s)) << child.outputSoFar();
  const ChildResult result = child.finish();
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(withoutProgress(checkedEventNames(result.standardOutput)),
            (std::vector<std::string>{"recording.started", "recording.completed"}));
  EXPECT_NE(result.standardOutput.find("\"interrupted\":true"), std::string::npos);
  const auto system = readBytes(output + ".system.pcm");
  EXPECT_EQ(system.size(), readBytes(output + ".microphone.pcm").size());
  EXPECT_GE(system.size(), 2u * 16000 * 2 * 9 / 10);
}

class CaptureHostDiscard : public CaptureHostProcess, public ::testing::WithParamInterface<bool> {};

TEST_P(CaptureHostDiscard, CancelOrEndOfInputRemovesEverythingWithoutAnEvent) {
  auto child = startRecording("meeting");
  // Cancelled while the recording is under way (a progress report out), not as it starts.
  EXPECT_TRUE(child->awaitOutput("recording.progress", 30s)) << child->outputSoFar();
  if (!GetParam()) child->sendLine("{\"schemaVersion\":1,\"command\":\"cancel\"}");
  const ChildResult result = child->finish();  // closes standard input
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(withoutProgress(checkedEventNames(result.standardOutput)),
            std::vector<std::string>{"recording.started"});
  EXPECT_FALSE(fileExists(output + ".system.pcm"));
  EXPECT_FALSE(fileExists(output + ".microphone.pcm"));
  EXPECT_FALSE(fileExists(output));
}

INSTANTIATE_TEST_SUITE_P(CancelCommandOrEndOfInput, CaptureHostDiscard, ::testing::Bool());

class CaptureHostMode : public CaptureHostProcess,
                        public ::testing::WithParamInterface<std::string> {};

TEST_P(CaptureHostMode, ACancelLeavesAFileThatWasAlreadyAtTheOutputPath) {
  { std::ofstream(output, std::ios::binary) << "someone else's"; }
  auto child = startRecording(GetParam());
  child->sendLine("{\"schemaVersion\":1,\"command\":\"cancel\"}");
  const ChildResult result = child->finish();
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_FALSE(fileExists(output + ".system.pcm"));
  EXPECT_EQ(readBytes(output), "someone else's");
}

INSTANTIATE_TEST_SUITE_P(MediaAndMeeting, CaptureHostMode, ::testing::Values("media", "meeting"),
                         [](const auto& mode) { return mode.param; });

TEST_F(CaptureHostProcess, ASessionIdThatIsNotUtf8IsRepairedNotDropped) {
  sessionId = "take-\xff-2";
  auto child = startRecording("media");
  const auto lines = linesOf(child->finish().standardOutput);
  ASSERT_FALSE(lines.empty());
  const auto started = parseJsonObject(lines.front());
  ASSERT_TRUE(started);
  EXPECT_EQ((*started)["event"], "recording.started");
  EXPECT_EQ((*started)["sessionId"], "take-\uFFFD-2");
}

TEST_F(CaptureHostProcess, AFileSizeLimitFailsTheRecordingInsteadOfKillingTheHost) {
  // Sixteen or thirty-two KiB, depending on the shell's block size: a second of audio at most.
  auto child = startRecording("media", {"/bin/sh", "-c", "ulimit -f 32 && exec \"$0\" \"$@\""});
  // Past the limit: the host finds out when it writes the files at the stop.
  ASSERT_TRUE(awaitSeconds(*child, 2)) << child->outputSoFar();
  child->sendLine("{\"schemaVersion\":1,\"command\":\"stop\"}");
  const ChildResult result = child->finish();
  EXPECT_EQ(result.exitStatus, 1);
  const auto names = withoutProgress(checkedEventNames(result.standardOutput));
  EXPECT_EQ(names, (std::vector<std::string>{"recording.started", "recording.failed"}));
  EXPECT_FALSE(fileExists(output + ".system.pcm"));
  EXPECT_FALSE(fileExists(output));
}

}  // namespace
}  // namespace orvix::capture::testing
