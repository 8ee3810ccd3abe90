// The command table: every malformed command is answered by exactly one "host.error" with the
// table's code, and changes nothing.
#include "OrvixBleHost/ble_host_constants.h"
#include "ble_host_fixture.h"
#include "common/base64.h"

namespace orvix::ble_host::testing {
namespace {

class CommandValidation : public BleHostTest {
 protected:
  void SetUp() override {
    boot();
    discardEvents();
  }

  // The single event the line gave, which must be a command error with `code`.
  void expectError(const std::string& line, const std::string& code, bool withRequestId = true) {
    SCOPED_TRACE(line.substr(0, 200));
    const auto answer = send(line);
    ASSERT_EQ(answer.size(), 1u);
    Json expected = hostError(code, "req");
    if (!withRequestId) expected.erase("requestId");
    EXPECT_EQ(answer[0], expected);
  }
  void expectInvalid(const std::string& line) { expectError(line, "INVALID_COMMAND", false); }
  void expectError(const Json& command, const std::string& code) {
    expectError(command.dump(), code);
  }
  void expectSilent(const Json& command) {
    SCOPED_TRACE(command.dump());
    EXPECT_EQ(send(command), std::vector<Json>());
  }
};

TEST_F(CommandValidation, EnvelopeFaultsAreInvalidCommandsWithoutRequestId) {
  for (const std::string& line : {
           std::string(""),
           std::string("[]"),
           std::string("{}"),
           std::string("garbage"),
           std::string("{\"schemaVersion\":1,\"command\":\"scan.stop\""),
           std::string("{\"schemaVersion\":2,\"command\":\"shutdown\",\"requestId\":\"req\"}"),
           std::string("{\"schemaVersion\":\"1\",\"command\":\"shutdown\",\"requestId\":\"req\"}"),
           std::string("{\"schemaVersion\":true,\"command\":\"shutdown\",\"requestId\":\"req\"}"),
           std::string("{\"schemaVersion\":1.5,\"command\":\"shutdown\",\"requestId\":\"req\"}"),
           std::string("{\"command\":\"shutdown\",\"requestId\":\"req\"}"),
           std::string("{\"schemaVersion\":1,\"command\":7,\"requestId\":\"req\"}"),
           std::string("{\"schemaVersion\":1,\"requestId\":\"req\"}"),
           std::string("{\"schemaVersion\":1,\"command\":\"shutdown\",\"requestId\":\"\"}"),
           std::string("{\"schemaVersion\":1,\"command\":\"shutdown\",\"requestId\":5}"),
           std::string("{\"schemaVersion\":1,\"command\":\"shutdown\"}"),
           "{\"schemaVersion\":1,\"command\":\"shutdown\",\"requestId\":\"" +
               std::string(129, 'x') + "\"}",
       }) {
    expectInvalid(line);
  }
  EXPECT_FALSE(exitStatus.has_value());
}

TEST_F(CommandValidation, RequestIdsAreCountedInUserPerceivedCharacters) {
  // 128 flags of two code points each (8 bytes apiece) are 128 characters: accepted.
  std::string flags;
  for (int i = 0; i < 128; ++i) flags += "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";
  auto answer = send(command("fly", {{"requestId", flags}}));
  ASSERT_EQ(answer.size(), 1u);
  EXPECT_EQ(answer[0], hostError("UNSUPPORTED_COMMAND", flags));
  expectInvalid(command("fly", {{"requestId", flags + "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7"}}).dump());
}

TEST_F(CommandValidation, TheLineBoundIsInclusive) {
  // Padding inside the JSON makes lines of exactly the bound and one byte over.
  const std::string head = R"({"schemaVersion":1,"command":"fly","requestId":"req","pad":")";
  const std::string tail = "\"}";
  const std::string exact =
      head + std::string(maximumCommandBytes - head.size() - tail.size(), 'p') + tail;
  ASSERT_EQ(exact.size(), maximumCommandBytes);
  expectError(exact, "UNSUPPORTED_COMMAND");
  const std::string over =
      head + std::string(maximumCommandBytes + 1 - head.size() - tail.size(), 'p') + tail;
  expectInvalid(over);
  host->handleOverlongLine();
  EXPECT_EQ(events(), std::vector<Json>({{{"schemaVersion", 1},
                                          {"event", "host.error"},
                                          {"scope", "command"},
                                          {"code", "INVALID_COMMAND"}}}));
}

TEST_F(CommandValidation, PermissionRefreshNeedsExactlyItsFourKeys) {
  expectError(command("permission.refresh", {{"requestAuthorization", "true"}}),
              "INVALID_PERMISSION_REFRESH");
  expectError(command("permission.refresh"), "INVALID_PERMISSION_REFRESH");
  expectError(command("permission.refresh", {{"requestAuthorization", false}, {"extra", 1}}),
              "INVALID_PERMISSION_REFRESH");
}

TEST_F(CommandValidation, ScanStartBoundsAndCombinations) {
  expectError(scanStart("s", 499), "INVALID_SCAN");
  expectError(scanStart("s", 30001), "INVALID_SCAN");
  expectError(command("scan.start", {{"scanId", "s"}}), "INVALID_SCAN");
  expectError(command("scan.start", {{"scanId", "s"}, {"timeoutMs", "1000"}}), "INVALID_SCAN");
  expectError(command("scan.start", {{"scanId", "s"}, {"timeoutMs", 1000.5}}), "INVALID_SCAN");
  expectError(command("scan.start", {{"scanId", ""}, {"timeoutMs", 1000}}), "INVALID_SCAN");
  expectError(command("scan.start", {{"timeoutMs", 1000}}), "INVALID_SCAN");
  Json scan = scanStart("s", 1000);
  scan["waitForAvailability"] = true;
  expectError(scan, "INVALID_SCAN");  // waiting needs a preferred candidate
  scan["preferredCandidateId"] = "";
  expectError(scan, "INVALID_SCAN");
  scan["preferredCandidateId"] = std::string(257, 'c');
  expectError(scan, "INVALID_SCAN");
  scan["preferredCandidateId"] = nullptr;
  expectError(scan, "INVALID_SCAN");
  scan["preferredCandidateId"] = kRecorderId;
  scan["waitForAvailability"] = "yes";
  expectError(scan, "INVALID_SCAN");

  // The bounds themselves are accepted (an accepted scan answers with no error).
  for (int timeout : {500, 30000}) {
    for (const auto& event : send(scanStart("bound", timeout))) {
      EXPECT_NE(event.value("event", ""), "host.error") << event.dump();
    }
  }
}

TEST_F(CommandValidation, ScanStopMustNameTheActiveScan) {
  expectError(command("scan.stop", {{"scanId", "none"}}), "SCAN_MISMATCH");
  send(scanStart("active"));
  expectError(command("scan.stop", {{"scanId", "other"}}), "SCAN_MISMATCH");
  expectError(command("scan.stop"), "SCAN_MISMATCH");
  EXPECT_EQ(host->activeScanId(), "active");
}

TEST_F(CommandValidation, ConnectAndDisconnectChecks) {
  expectError(command("connect", {{"candidateId", kRecorderId}}), "INVALID_CONNECT");
  expectError(command("connect", {{"connectionId", "c"}}), "INVALID_CONNECT");
  expectError(command("connect", {{"candidateId", std::string(257, 'x')}, {"connectionId", "c"}}),
              "INVALID_CONNECT");
  expectError(
      command("connect",
              {{"candidateId", kRecorderId}, {"connectionId", "c"}, {"waitForAvailability", 1}}),
      "INVALID_CONNECT");
  expectError(command("disconnect", {{"connectionId", "c"}}), "CONNECTION_MISMATCH");
  expectError(command("disconnect"), "CONNECTION_MISMATCH");
}

TEST_F(CommandValidation, NotificationPolicyChecks) {
  expectError(command("notification.configure", {{"connectionId", "c"}, {"maximumDelayMs", 20}}),
              "INVALID_NOTIFICATION_POLICY");
  expectError(command("notification.configure",
                      {{"connectionId", "c"}, {"maximumDelayMs", 8}, {"extra", true}}),
              "INVALID_NOTIFICATION_POLICY");
  expectError(command("notification.configure", {{"maximumDelayMs", 8}}),
              "INVALID_NOTIFICATION_POLICY");
  // Well formed, but no connection is ready: nothing at all.
  expectSilent(command("notification.configure", {{"connectionId", "c"}, {"maximumDelayMs", 40}}));
}

TEST_F(CommandValidation, WritesWhileUnconnectedFailAsWritesNotAsHostErrors) {
  const auto expectWriteFailed = [&](const Json& cmd, const std::string& code) {
    SCOPED_TRACE(cmd.dump());
    const auto answer = send(cmd);
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0], (Json{{"schemaVersion", 1},
                               {"event", "write.failed"},
                               {"connectionId", "unconnected"},
                               {"requestId", "req"},
                               {"code", code}}));
  };
  expectWriteFailed(
      command("write",
              {{"connectionId", "c"}, {"dataBase64", "AQI="}, {"writeType", "with-response"}}),
      "INVALID_REQUEST");
  expectWriteFailed(command("write"), "INVALID_REQUEST");
}

TEST_F(CommandValidation, UnknownNamesEchoTheRequestId) {
  expectError(command("scan.begin"), "UNSUPPORTED_COMMAND");
  expectError(command("Shutdown"), "UNSUPPORTED_COMMAND");
}

TEST_F(CommandValidation, ShutdownTakesAnyShapeAndClosesTheOutput) {
  send(command("shutdown", {{"anything", {1, 2}}}));
  EXPECT_EQ(exitStatus, 0);
  EXPECT_TRUE(output.closed);
  EXPECT_EQ(output.flushTimeout, std::chrono::milliseconds(500));
}

}  // namespace
}  // namespace orvix::ble_host::testing

namespace orvix::ble_host {
namespace {

// The write rules in their order, on a connection named "c": the first failing rule decides.
TEST(WriteCheck, RefusalsFollowTheRuleOrder) {
  const auto refusal = [](Json fields) {
    fields["schemaVersion"] = 1;
    fields["command"] = "write";
    fields["requestId"] = "w";
    auto checked = checkWrite(fields, "w", std::string("c"));
    const auto* refused = std::get_if<WriteFailure>(&checked);
    return refused ? std::string(wireCode(*refused)) : std::string("accepted");
  };
  const std::string one = "AQ==";
  const std::string bytes218 = base64Encode(std::vector<std::uint8_t>(218, 7));
  const std::string bytes219 = base64Encode(std::vector<std::uint8_t>(219, 7));
  const Json plain = {{"connectionId", "c"}, {"dataBase64", one}, {"writeType", "with-response"}};
  EXPECT_EQ(refusal(plain), "accepted");
  EXPECT_EQ(refusal({{"connectionId", "other"}, {"dataBase64", one}, {"writeType", "x"}}),
            "INVALID_REQUEST");  // the connection is checked before the type
  EXPECT_EQ(refusal({{"connectionId", "c"}, {"dataBase64", "AQ="}, {"writeType", "x"}}),
            "INVALID_REQUEST");
  EXPECT_EQ(refusal({{"connectionId", "c"}, {"dataBase64", ""}, {"writeType", "with-response"}}),
            "INVALID_REQUEST");
  EXPECT_EQ(refusal({{"connectionId", "c"}, {"dataBase64", one}, {"writeType", "notify"}}),
            "UNSUPPORTED_WRITE");
  EXPECT_EQ(refusal({{"connectionId", "c"}, {"dataBase64", one}, {"writeType", 1}}),
            "INVALID_REQUEST");

  Json multi = {{"connectionId", "c"}, {"dataBase64", bytes218}, {"writeType", "without-response"}};
  multi["additionalFramesBase64"] = std::vector<std::string>(15, bytes218);
  EXPECT_EQ(refusal(multi), "accepted");
  multi["additionalFramesBase64"] = std::vector<std::string>(16, one);
  EXPECT_EQ(refusal(multi), "INVALID_REQUEST");
  multi["additionalFramesBase64"] = Json::array();
  EXPECT_EQ(refusal(multi), "INVALID_REQUEST");
  multi["additionalFramesBase64"] = {bytes219};
  EXPECT_EQ(refusal(multi), "INVALID_REQUEST");
  multi["additionalFramesBase64"] = {one};
  multi["dataBase64"] = bytes219;
  EXPECT_EQ(refusal(multi), "INVALID_REQUEST");
  multi["dataBase64"] = one;
  multi["writeType"] = "with-response";
  EXPECT_EQ(refusal(multi), "INVALID_REQUEST");

  auto accepted = checkWrite({{"connectionId", "c"},
                              {"dataBase64", bytes218},
                              {"writeType", "without-response"},
                              {"additionalFramesBase64", {one, one}}},
                             "w", std::string("c"));
  ASSERT_TRUE(std::holds_alternative<PendingWrite>(accepted));
  EXPECT_EQ(std::get<PendingWrite>(accepted).frames.size(), 3u);
}

}  // namespace
}  // namespace orvix::ble_host
