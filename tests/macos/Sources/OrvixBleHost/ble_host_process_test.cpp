// The built program as the desktop application runs it, on simulated radio worlds. These tests
// use real time and real pipes, with generous limits so that a loaded machine never fails them.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/child_process.h"
#include "support/file_text.h"
#include "support/platform_placeholder.h"
#include "support/transcript.h"

namespace orvix::testing {
namespace {

using namespace std::chrono_literals;

const std::string kProgram = ORVIX_BLE_HOST_PATH;
const std::string kScenarios = ORVIX_BLE_HOST_SCENARIOS;
const std::string kTranscripts = ORVIX_BLE_HOST_TRANSCRIPTS;
const std::string kNotice =
    R"({"code":"OUTPUT_QUEUE_FULL","event":"host.error","schemaVersion":1,"scope":"command"})";

ChildOptions simulate(const std::string& scenario) {
  ChildOptions options;
  options.arguments = {"--simulate", scenario};
  return options;
}

std::string hostReadyLine() {
  return withPlatformName(
      R"({"event":"host.ready","hostBuild":"DT-PERF-BATCH.3","platform":"${platform}","schemaVersion":1})");
}

// One command line with the envelope around `fields`.
std::string commandLine(const std::string& name, nlohmann::json fields) {
  fields["schemaVersion"] = 1;
  fields["command"] = name;
  if (!fields.contains("requestId")) fields["requestId"] = name;
  return fields.dump() + "\n";
}

// An event in short: its name, then what tells it apart (request, scan, state, code, reason,
// reconnectable), for example "write.failed:w2:GATT_FAILURE" or "disconnected:manual:false".
std::string describe(const std::string& line) {
  const auto event = nlohmann::json::parse(line);
  std::string text = event["event"];
  for (const char* key : {"requestId", "scanId", "state", "code", "reason", "reconnectable"}) {
    if (!event.contains(key)) continue;
    const auto& value = event[key];
    text.append(":").append(value.is_string() ? value.get<std::string>() : value.dump());
  }
  return text;
}

// The events written after the first line that contains `marker`, in short.
std::vector<std::string> eventsAfter(const std::string& output, const std::string& marker) {
  std::vector<std::string> found;
  bool seen = false;
  for (const auto& line : linesOf(output)) {
    if (seen) found.push_back(describe(line));
    seen = seen || line.find(marker) != std::string::npos;
  }
  return found;
}

// The program on a simulated world, driven line by line as the desktop application drives it.
class Session {
 public:
  explicit Session(const std::string& scenario) : child_(kProgram, simulate(scenario)) {}

  void send(const std::string& lines) { EXPECT_TRUE(child_.writeInput(lines)); }
  // Waits until `needle` has been written `times` times; false when that takes too long.
  bool await(const std::string& needle, std::size_t times = 1) {
    return child_.awaitOutput(needle, 30s, times);
  }
  // Finds a device the system knows through a scan that prefers it, then connects to it.
  bool connect(const std::string& candidateId, const std::string& connectionId) {
    send(commandLine("scan.start", {{"scanId", "scan-1"},
                                    {"timeoutMs", 30000},
                                    {"preferredCandidateId", candidateId}}));
    if (!await("\"candidateId\":\"" + candidateId + "\"")) return false;
    send(commandLine("connect", {{"candidateId", candidateId}, {"connectionId", connectionId}}));
    return true;
  }
  ChildResult finish() { return child_.finish(); }

 private:
  ChildProcess child_;
};

const std::string kRecorders = kScenarios + "/recorders.json";
const std::string kPlainRecorder = "5A3C9E7B-1D2F-4A6B-8C0D-2E4F6A8B0C1D";
const std::string kSlowConfirmations = "11111111-2222-4333-8444-555555555555";
const std::string kStuckInSetup = "66666666-7777-4888-9999-AAAAAAAAAAAA";

TEST(BleHostProcess, StartsWithReadyAndThePermissionAndExitsZeroAtEndOfInput) {
  const ChildResult result = runChild(kProgram, simulate("default"), "");
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.standardError, "");
  EXPECT_EQ(
      linesOf(result.standardOutput),
      (std::vector<std::string>{
          hostReadyLine(),
          R"({"authorization":"not-determined","event":"adapter.state","schemaVersion":1,"state":"unauthorized"})"}));
}

TEST(BleHostProcess, WithoutSimulationTheAdapterIsReportedUnsupported) {
  // A machine without a reachable system bus (and so without BlueZ); never the real one.
  ChildOptions noBus;
  noBus.environment = {{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/orvix-no-bus"}};
  const ChildResult result = runChild(
      kProgram, noBus,
      R"({"schemaVersion":1,"command":"scan.start","requestId":"r","scanId":"s","timeoutMs":500})"
      "\n");
  EXPECT_EQ(result.exitStatus, 0);
  const auto lines = linesOf(result.standardOutput);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(
      lines[1],
      R"({"authorization":"allowed","event":"adapter.state","schemaVersion":1,"state":"unsupported"})");
  EXPECT_EQ(
      lines[2],
      R"({"code":"ADAPTER_NOT_POWERED_ON","event":"host.error","schemaVersion":1,"scope":"adapter"})");
  EXPECT_EQ(lines[3],
            R"({"event":"scan.completed","reason":"cancelled","scanId":"s","schemaVersion":1})");
}

TEST(BleHostProcess, BadArgumentsAndScenariosAreRefused) {
  ChildOptions lone;
  lone.arguments = {"--simulate"};
  EXPECT_EQ(runChild(kProgram, lone).exitStatus, 2);
  const ChildResult missing = runChild(kProgram, simulate("/nonexistent/scenario.json"));
  EXPECT_EQ(missing.exitStatus, 2);
  EXPECT_NE(missing.standardError.find("cannot be read"), std::string::npos);
  EXPECT_EQ(missing.standardOutput, "");
}

TEST(BleHostProcess, MalformedLinesTranscript) {
  const auto transcript = readTranscript(kTranscripts + "/malformed_lines.txt");
  ASSERT_TRUE(transcript) << "missing transcript";
  const ChildResult result = runChild(kProgram, simulate("default"), transcript->input);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(linesOf(result.standardOutput), transcript->expected);
}

TEST(BleHostProcess, BytesThatAreNotCleanLinesAreStillAnsweredOneByOne) {
  const std::string head = R"({"schemaVersion":1,"command":"fly","requestId":")";
  const std::vector<std::pair<std::string, std::string>> cases = {
      // CR LF is a line terminator like LF.
      {head + "crlf\"}\r\n", R"("requestId":"crlf")"},
      // Invalid bytes become U+FFFD inside the request id, which is then echoed.
      {head + "bad\xFF\"}\n", "\"requestId\":\"bad\xEF\xBF\xBD\""},
      // Invalid bytes outside strings make the line unreadable.
      {"\xFF\xFE{}\n", R"("code":"INVALID_COMMAND")"},
      // 65,537 bytes is one too many, 200,000 far too many: both refused, neither held whole.
      {head + std::string(65537 - head.size() - 2, 'x') + "\"}\n", R"("code":"INVALID_COMMAND")"},
      {std::string(200000, '{') + "\n", R"("code":"INVALID_COMMAND")"},
      {head + "last\"}", R"("requestId":"last")"},  // a final line without LF still counts
  };
  std::string input;
  for (const auto& [line, expected] : cases) input += line;
  const ChildResult result = runChild(kProgram, simulate("default"), input);
  EXPECT_EQ(result.exitStatus, 0);
  const auto lines = linesOf(result.standardOutput);
  ASSERT_EQ(lines.size(), 2 + cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_NE(lines[i + 2].find(cases[i].second), std::string::npos) << lines[i + 2];
  }
}

TEST(BleHostProcess, EndOfInputDuringAScanCancelsItAndExitsZero) {
  Session session(kScenarios + "/allowed.json");
  ASSERT_TRUE(session.await("powered-on"));
  session.send(commandLine("scan.start", {{"scanId", "scan-1"}, {"timeoutMs", 30000}}));
  ASSERT_TRUE(session.await("\"nameHint\":\"Orvix K7 Recorder\""));
  const ChildResult result = session.finish();
  EXPECT_EQ(result.exitStatus, 0);
  const auto lines = linesOf(result.standardOutput);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(
      lines.back(),
      R"({"event":"scan.completed","reason":"cancelled","scanId":"scan-1","schemaVersion":1})");
}

// The whole life of a recorder session through the real program: permission, scan, connect,
// "gatt.ready", a write of each type, the stream, and a manual disconnect, then end of input.
TEST(BleHostProcess, AWholeSessionWithTheDefaultWorld) {
  Session session("default");
  const std::string recorder = "5A3C9E7B-1D2F-4A6B-8C0D-2E4F6A8B0C1D";
  session.send(commandLine("permission.refresh", {{"requestAuthorization", true}}));
  ASSERT_TRUE(session.await("powered-on"));
  session.send(commandLine("scan.start", {{"scanId", "scan-1"}, {"timeoutMs", 5000}}));
  ASSERT_TRUE(session.await("\"candidateId\":\"" + recorder + "\""));
  session.send(commandLine("connect", {{"candidateId", recorder}, {"connectionId", "link-1"}}));
  ASSERT_TRUE(session.await("\"event\":\"gatt.ready\""));
  session.send(
      commandLine("write", {{"requestId", "w1"},
                            {"connectionId", "link-1"},
                            {"dataBase64", std::string(680, 'A')},
                            {"writeType", "with-response"}}) +
      commandLine("write", {{"requestId", "w2"},
                            {"connectionId", "link-1"},
                            {"dataBase64", "AQID"},
                            {"writeType", "without-response"},
                            {"additionalFramesBase64", {"BA==", "BQY="}}}));
  ASSERT_TRUE(session.await("\"requestId\":\"w2\""));
  ASSERT_TRUE(session.await("\"event\":\"notification.batch\""));
  session.send(commandLine("disconnect", {{"connectionId", "link-1"}}));
  ASSERT_TRUE(session.await("\"event\":\"disconnected\""));
  const ChildResult result = session.finish();
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.standardError, "");

  std::vector<std::string> order;
  std::size_t streamed = 0;
  for (const auto& line : linesOf(result.standardOutput)) {
    const auto event = nlohmann::json::parse(line);
    const std::string name = event["event"];
    if (name == "notification.batch" || name == "notification") {
      for (const auto& length : event.value("packetLengths", nlohmann::json::array({244}))) {
        EXPECT_EQ(length, 244);
        ++streamed;
      }
      continue;
    }
    if (name == "write.completed") {
      EXPECT_EQ(event["writtenBytes"], event["requestId"] == "w1" ? 510 : 6);
    }
    if (name != "candidate.discovered" && name != "adapter.state") order.push_back(name);
  }
  EXPECT_GT(streamed, 0u);
  EXPECT_EQ(order,
            (std::vector<std::string>{"host.ready", "scan.completed", "gatt.ready",
                                      "write.completed", "write.completed", "disconnected"}));
}

// The readiness for writes without response keeps coming while a write with response waits for
// its confirmation: it must neither finish that write nor let its late confirmation (here a
// failing one) land on the next write.
TEST(BleHostProcess, AWriteWithResponseMovesOnOnlyByItsOwnConfirmation) {
  Session session(kRecorders);
  ASSERT_TRUE(session.await("powered-on"));
  ASSERT_TRUE(session.connect(kSlowConfirmations, "link-1"));
  ASSERT_TRUE(session.await("\"event\":\"gatt.ready\""));
  const auto write = [](const std::string& requestId, const std::string& type) {
    return nlohmann::json{{"requestId", requestId},
                          {"connectionId", "link-1"},
                          {"dataBase64", "AQID"},
                          {"writeType", type}};
  };
  auto twoFrames = write("w1", "without-response");
  twoFrames["additionalFramesBase64"] = {"BA=="};
  session.send(commandLine("write", twoFrames) +
               commandLine("write", write("w2", "with-response")) +
               commandLine("write", write("w3", "with-response")));
  ASSERT_TRUE(session.await("\"requestId\":\"w3\""));
  const ChildResult result = session.finish();
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(eventsAfter(result.standardOutput, "gatt.ready"),
            (std::vector<std::string>{"write.completed:w1", "write.failed:w2:GATT_FAILURE",
                                      "write.completed:w3"}));
}

// The platform lets go of this link only nine seconds after it was asked, later than the GATT
// setup would have timed out.
TEST(BleHostProcess, ADisconnectDuringSetupEndsAsManualWhenThePlatformLetsGo) {
  Session session(kRecorders);
  ASSERT_TRUE(session.await("powered-on"));
  ASSERT_TRUE(session.connect(kStuckInSetup, "link-1"));
  // Once a later command is answered, the platform's report that the link is up has been handled
  // and the setup runs (it never completes on this device).
  session.send(commandLine("scan.stop", {{"requestId", "probe"}, {"scanId", "scan-1"}}));
  ASSERT_TRUE(session.await("\"requestId\":\"probe\""));
  session.send(commandLine("disconnect", {{"connectionId", "link-1"}}));
  ASSERT_TRUE(session.await("\"event\":\"disconnected\""));
  const ChildResult result = session.finish();
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(eventsAfter(result.standardOutput, "\"requestId\":\"probe\""),
            (std::vector<std::string>{"host.error:FAILED", "disconnected:manual:false"}));
}

TEST(BleHostProcess, AScanDeferredByALinkStartsAfterItsEndNotOnAnAdapterReport) {
  Session session(kRecorders);
  ASSERT_TRUE(session.await("powered-on"));
  ASSERT_TRUE(session.connect(kPlainRecorder, "link-1"));
  ASSERT_TRUE(session.await("\"event\":\"gatt.ready\""));
  session.send(commandLine("scan.start", {{"scanId", "scan-2"},
                                          {"timeoutMs", 30000},
                                          {"preferredCandidateId", kPlainRecorder}}) +
               commandLine("permission.refresh", {{"requestAuthorization", false}}));
  ASSERT_TRUE(session.await("powered-on", 2));
  session.send(commandLine("disconnect", {{"connectionId", "link-1"}}));
  ASSERT_TRUE(session.await("\"event\":\"disconnected\""));
  ASSERT_TRUE(session.await("\"scanId\":\"scan-2\""));
  const ChildResult result = session.finish();
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(eventsAfter(result.standardOutput, "gatt.ready"),
            (std::vector<std::string>{"adapter.state:powered-on", "disconnected:manual:false",
                                      "candidate.discovered:scan-2",
                                      "scan.completed:scan-2:cancelled"}));
}

const std::string kFloodScan =
    R"({"schemaVersion":1,"command":"scan.start","requestId":"r","scanId":"flood","timeoutMs":30000})";

TEST(BleHostProcess, AStalledReaderLosesLinesButNeverAWholeLineOrTheHost) {
  ChildProcess child(kProgram, simulate(kScenarios + "/flood.json"));
  ASSERT_TRUE(child.sendLine(kFloodScan));
  // Nobody reads while the recorders flood the output well past the queue's 2,048 lines.
  std::this_thread::sleep_for(1500ms);
  child.readFor(500ms);
  // The host still answers.
  ASSERT_TRUE(
      child.sendLine(R"({"schemaVersion":1,"command":"scan.stop","requestId":"r","scanId":"flood"})"));
  ASSERT_TRUE(child.awaitOutput("\"scan.completed\"", 20s));
  ASSERT_TRUE(child.sendLine(
      R"({"schemaVersion":1,"command":"scan.stop","requestId":"probe","scanId":"flood"})"));
  ASSERT_TRUE(child.awaitOutput("\"requestId\":\"probe\"", 20s));
  child.closeInput();
  EXPECT_EQ(child.waitForExit(20s, ChildProcess::Reading::leaveOutputUnread), 0);
  const ChildResult result = child.finish();

  ASSERT_TRUE(result.standardOutput.ends_with("\n"));
  const auto lines = linesOf(result.standardOutput);
  std::size_t notices = 0;
  std::size_t firstNotice = lines.size();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    // Every line is one whole JSON object: nothing was split or interleaved.
    const auto event = nlohmann::json::parse(lines[i], nullptr, false);
    ASSERT_TRUE(event.is_object()) << "line " << i << ": " << lines[i].substr(0, 200);
    if (event.value("code", "") == "OUTPUT_QUEUE_FULL") {
      EXPECT_EQ(lines[i], kNotice);
      if (notices++ == 0) firstNotice = i;
    }
  }
  ASSERT_GE(notices, 1u);
  // A notice stands for lines that were lost; it is never followed by another notice nor ends
  // the output, and the line after the first one is a flood report that made it through.
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    if (lines[i] == kNotice) {
      EXPECT_NE(lines[i + 1], kNotice) << "line " << i;
    }
  }
  EXPECT_NE(lines.back(), kNotice);
  ASSERT_LT(firstNotice + 1, lines.size());
  EXPECT_NE(lines[firstNotice + 1].find("\"event\":\"candidate.discovered\""), std::string::npos);
  EXPECT_NE(lines[firstNotice + 1].find("\"scanId\":\"flood\""), std::string::npos);
  // The notice stands for many lines: far fewer notices than candidate reports.
  EXPECT_LT(notices * 10, lines.size());
  ASSERT_LT(firstNotice + 1, lines.size());
  // Once the flood stopped, nothing more was lost: the probe's answer is the last line.
  EXPECT_NE(lines.back().find("\"requestId\":\"probe\""), std::string::npos);
}

TEST(BleHostProcess, EndOfInputExitsPromptlyEvenWhileNobodyReads) {
  ChildProcess child(kProgram, simulate(kScenarios + "/flood.json"));
  ASSERT_TRUE(child.sendLine(kFloodScan));
  std::this_thread::sleep_for(1500ms);
  const auto closed = std::chrono::steady_clock::now();
  child.closeInput();
  // The flush waits half a second for the reader, then the host leaves anyway.
  EXPECT_EQ(child.waitForExit(20s, ChildProcess::Reading::leaveOutputUnread), 0);
  const auto took = std::chrono::steady_clock::now() - closed;
  EXPECT_GE(took, 400ms);
  EXPECT_LT(took, 5s);
  RecordProperty(
      "exitAfterEndOfInputMs",
      static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
}

}  // namespace
}  // namespace orvix::testing
