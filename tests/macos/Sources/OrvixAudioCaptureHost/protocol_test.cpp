// The command line, the command loop, the event wire and the exit statuses.
#include <gtest/gtest.h>

#include <fstream>

#include "OrvixAudioCaptureHost/capture_arguments.h"
#include "macos/Sources/OrvixAudioCaptureHost/capture_host_fixture.h"

namespace orvix::capture::testing {
namespace {

std::optional<Arguments> parse(std::vector<std::string_view> values) {
  return parseArguments(values);
}

TEST(CaptureArguments, RequiredKeysAndAcceptedValues) {
  const auto meeting = parse(
      {"--session-id", "s", "--output", "/o", "--mode", "meeting", "--microphone-enabled", "true"});
  ASSERT_TRUE(meeting);
  EXPECT_EQ(meeting->sessionId, "s");
  EXPECT_EQ(meeting->outputPath, "/o");
  EXPECT_TRUE(meeting->meeting);
  EXPECT_TRUE(meeting->microphoneEnabled);

  // Media mode forces the microphone off whatever the flag says.
  const auto media = parse(
      {"--mode", "media", "--microphone-enabled", "true", "--output", "/o", "--session-id", "s"});
  ASSERT_TRUE(media);
  EXPECT_FALSE(media->meeting);
  EXPECT_FALSE(media->microphoneEnabled);

  // Any order, unknown pairs, the later of two equal keys, a trailing key without value.
  const auto mixed =
      parse({"--extra", "x", "--output", "/first", "--session-id", "s", "--mode", "media",
             "--microphone-enabled", "false", "--output", "/second", "--dangling"});
  ASSERT_TRUE(mixed);
  EXPECT_EQ(mixed->outputPath, "/second");

  for (const auto& invalid : std::vector<std::vector<std::string_view>>{
           {"--session-id", "s", "--output", "/o", "--mode", "media"},
           {"--session-id", "s", "--output", "/o", "--mode", "video", "--microphone-enabled",
            "false"},
           {"--session-id", "s", "--output", "/o", "--mode", "media", "--microphone-enabled",
            "yes"},
           {"--output", "/o", "--mode", "media", "--microphone-enabled", "false"},
           {"--session-id", "s", "--mode", "media", "--microphone-enabled", "false"},
           {"--session-id", "s", "--output", "/o", "--mode", "media", "--microphone-enabled"},
       }) {
    EXPECT_FALSE(parse(invalid));
  }
}

TEST_F(CaptureHostTest, InvalidArgumentsFailWithStatusTwoAndCreateNoFile) {
  makeWorld(screenCaptureOnlyScenario());
  host = std::make_unique<CaptureHost>(world->audio(), time, sink, [](int) {});
  std::vector<std::string_view> arguments = {"--session-id", "s",      "--output",
                                             outputPath,     "--mode", "media"};
  EXPECT_EQ(host->start(arguments), 2);
  EXPECT_EQ(transcript(),
            R"({"code":"CAPTURE_FAILED","event":"recording.failed","schemaVersion":1})"
            "\n");
  EXPECT_FALSE(fileExists(systemPath()));
  EXPECT_FALSE(fileExists(outputPath));
}

TEST_F(CaptureHostTest, UncreatableTrackFileFailsWithStatusOne) {
  outputPath = directory.file("missing-directory/recording.pcm");
  EXPECT_EQ(startHost("meeting"), 1);
  EXPECT_EQ(milestones(), std::vector<std::string>{"recording.failed"});
}

TEST_F(CaptureHostTest, EveryEventIsOneSortedLineWithTheEnvelope) {
  startRecording("meeting");
  advance(2s);
  send("stop");
  ASSERT_EQ(runUntilExit(), 0);
  const auto lines = sink.lines();
  ASSERT_GT(lines.size(), 5u);
  for (const auto& line : lines) {
    ASSERT_EQ(line.back(), '\n');
    ASSERT_EQ(line.find('\n'), line.size() - 1);
    const auto event = parseJsonObject(line.substr(0, line.size() - 1));
    ASSERT_TRUE(event) << line;
    EXPECT_EQ((*event)["schemaVersion"], 1);
    // Re-serialising with sorted keys gives the very same bytes.
    EXPECT_EQ(serializeCompact(*event).value() + "\n", line);
  }
  EXPECT_EQ(lines.front(),
            R"({"backend":"screen-capture-kit","event":"recording.started","fallback":false,)"
            R"("microphoneAvailable":true,"schemaVersion":1,"sessionId":"session-1",)"
            R"("systemAudioReady":true})"
            "\n");
}

TEST(CaptureEvents, EnvelopeKeysWinAndUnserialisableEventsAreDropped) {
  MemoryLineSink sink;
  CaptureEvents events(sink);
  events.emit("recording.progress", Json{{"event", "spoofed"}, {"schemaVersion", 9}, {"a", 1}});
  events.emit("recording.progress", Json{{"level", std::nan("")}});
  events.emit("recording.failed", Json{{"code", std::string("\xff")}});
  EXPECT_EQ(sink.lines(),
            std::vector<std::string>{R"({"a":1,"event":"recording.progress","schemaVersion":1})"
                                     "\n"});
}

TEST_F(CaptureHostTest, MalformedCommandsDoNothing) {
  startRecording("meeting");
  for (const char* line : {
           R"({"schemaVersion":2,"command":"stop"})",
           R"({"schemaVersion":"1","command":"stop"})",
           R"({"schemaVersion":true,"command":"cancel"})",
           R"({"command":"stop"})",
           R"({"schemaVersion":1})",
           R"({"schemaVersion":1,"command":5})",
           R"({"schemaVersion":1,"command":"shutdown"})",
           R"({"schemaVersion":1,"command":"microphone.set","enabled":"false"})",
           R"({"schemaVersion":1,"command":"microphone.set"})",
           R"(["stop"])",
           "not json",
           "",
       }) {
    sendLine(line);
  }
  advance(1s);
  EXPECT_FALSE(exitStatus());
  EXPECT_FALSE(host->controller()->isStopping());
  EXPECT_TRUE(host->controller()->isMicrophoneEnabled());
  // Integral 1.0 is the integer 1.
  sendLine(R"({"schemaVersion":1.0,"command":"stop","extra":true})");
  EXPECT_EQ(runUntilExit(), 0);
  EXPECT_EQ(milestones(), (std::vector<std::string>{"recording.started", "recording.completed"}));
}

class DiscardTest : public CaptureHostTest, public ::testing::WithParamInterface<bool> {};

TEST_P(DiscardTest, CancelAndEndOfInputDiscardEverythingSilently) {
  startRecording("meeting");
  advance(1500ms);
  ASSERT_TRUE(fileExists(systemPath()));
  sink.clear();
  if (GetParam()) {
    host->endOfInput();
  } else {
    send("cancel");
  }
  EXPECT_EQ(runUntilExit(), 0);
  EXPECT_TRUE(sink.lines().empty()) << transcript();
  EXPECT_FALSE(fileExists(systemPath()));
  EXPECT_FALSE(fileExists(microphonePath()));
  EXPECT_FALSE(fileExists(outputPath));
}

INSTANTIATE_TEST_SUITE_P(CancelOrEndOfInput, DiscardTest, ::testing::Bool());

TEST_F(CaptureHostTest, CancelInMediaModeLeavesAMicrophoneFileItNeverMadeAlone) {
  { std::ofstream(microphonePath()) << "someone else's"; }
  startRecording("media", "false");
  send("cancel");
  EXPECT_EQ(runUntilExit(), 0);
  EXPECT_FALSE(fileExists(systemPath()));
  EXPECT_EQ(readBytes(microphonePath()), "someone else's");
}

TEST_F(CaptureHostTest, ASecondStopOrCancelChangesNothing) {
  startRecording("media", "false");
  advance(1s);
  send("stop");
  send("stop");
  send("cancel");
  send("pause");
  EXPECT_EQ(runUntilExit(), 0);
  EXPECT_EQ(milestones(), (std::vector<std::string>{"recording.started", "recording.completed"}));
  EXPECT_TRUE(fileExists(outputPath));
}

TEST_F(CaptureHostTest, ProgressEveryQuarterSecondUntilTheStop) {
  startRecording("meeting");
  sink.clear();
  advance(2s);
  const auto progress = named("recording.progress");
  ASSERT_EQ(progress.size(), 8u);
  for (std::size_t i = 1; i < progress.size(); ++i) {
    const auto step = progress[i]["elapsedMs"].get<std::int64_t>() -
                      progress[i - 1]["elapsedMs"].get<std::int64_t>();
    EXPECT_NEAR(static_cast<double>(step), 250.0, 70.0);
  }
  EXPECT_NEAR(progress.back()["systemLevel"].get<double>(), 0.5, 0.01);
  EXPECT_NEAR(progress.back()["microphoneLevel"].get<double>(), 0.3, 0.01);
  send("stop");
  sink.clear();
  runUntilExit();
  EXPECT_TRUE(named("recording.progress").empty());
}

TEST_F(CaptureHostTest, AStalledMainThreadGetsOneProgressThenTheQuarterSecondGrid) {
  startRecording("media", "false");
  sink.clear();
  while (named("recording.progress").empty()) advance(1ms);
  const Duration onGrid = time.now();  // a tick fired at this very instant
  sink.clear();
  time.sleepFor(2100ms);  // the main thread is busy; eight ticks fall due meanwhile
  advance(1ms);
  EXPECT_EQ(named("recording.progress").size(), 1u);
  // The next one keeps to the grid of the recording's start instead of 0.25 s after the late one.
  advance(onGrid + 2249ms - time.now());
  EXPECT_EQ(named("recording.progress").size(), 1u);
  advance(1ms);
  EXPECT_EQ(named("recording.progress").size(), 2u);
  advance(1s);
  EXPECT_EQ(named("recording.progress").size(), 6u);
}

}  // namespace
}  // namespace orvix::capture::testing
