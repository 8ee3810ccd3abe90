// The built program as the desktop application runs it: a child process with pipes on its
// standard streams, talking to the gateway emulator on loopback through its built-in (test)
// configuration. Every failure code the program can raise is produced here.
#include <gtest/gtest.h>

#include "common/json_wire.h"
#include "support/child_process.h"
#include "support/file_text.h"
#include "tools/update-host/emulator_lease.h"
#include "tools/update-host/loopback_proxy.h"

namespace orvix::update_host {
namespace {

using testing::EmulatorLease;
using testing::EmulatorMode;

using orvix::testing::ChildResult;
using Environment = orvix::testing::EnvironmentChanges;

// Runs the program with `input` on standard input (then closed) and `environment` added to this
// process's, keeping count of the request bytes the program left unread.
ChildResult runProgram(const char* path, std::vector<std::string> arguments,
                       const std::string& input, Environment environment = {}) {
  orvix::testing::ChildOptions options;
  options.arguments = std::move(arguments);
  options.environment = std::move(environment);
  options.countUnreadInput = true;
  return orvix::testing::runChild(path, options, input);
}

std::string requestText(const std::string& kind, const std::string& current,
                        const std::string& client, const std::string& identity = "device-42") {
  return Json{{"kind", kind},
              {"currentVersion", current},
              {"clientVersion", client},
              {"identity", identity}}
      .dump();
}

std::string failure(const std::string& code) { return R"({"failure":")" + code + "\"}"; }

class UpdateHostProcessTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testing::forgetProxyEnvironment(); }

  // Runs the test build and checks what must hold for every run: status 0, nothing on standard
  // error, one JSON object without a trailing newline.
  std::string check(const std::string& input, Environment environment = {}) {
    const ChildResult run = runProgram(ORVIX_UPDATE_HOST_PATH, {}, input, std::move(environment));
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.standardError, "");
    EXPECT_TRUE(parseJsonObject(run.standardOutput)) << run.standardOutput;
    EXPECT_FALSE(!run.standardOutput.empty() && run.standardOutput.back() == '\n');
    return run.standardOutput;
  }

  // A check against the emulator in `mode`; the emulator must have found the request sound.
  std::string checkAgainst(EmulatorMode mode, const std::string& input) {
    EmulatorLease lease(mode);
    EXPECT_TRUE(lease.started()) << "port " << ORVIX_UPDATE_TEST_PORT << " is taken";
    const std::string out = check(input);
    const auto requests = lease.emulator().requests();
    EXPECT_EQ(requests.size(), 1u);
    for (const auto& request : requests) {
      EXPECT_EQ(request.problems, std::vector<std::string>{});
    }
    if (!requests.empty()) lastRequest = requests.front();
    return out;
  }

  testing::ReceivedRequest lastRequest;
};

TEST_F(UpdateHostProcessTest, DesktopCheckReturnsTheDecodedAnswerAndPublicConfiguration) {
  const Json answer =
      Json::parse(checkAgainst(EmulatorMode::encoded, requestText("desktop", "1.2.3", "1.2.3")));
  EXPECT_EQ(answer.size(), 2u);
  EXPECT_EQ(answer["response"]["data"]["received"],
            Json::parse(R"({"appid":"orvix-desktop-test","productId":17,"modelId":"OX-1",
                "deviceId":"device-42","pVer":"1.1","clientVer":"10203"})"));
  EXPECT_EQ(answer["response"]["data"]["latestVersion"], "9.9.9");
  EXPECT_EQ(answer["publicConfig"]["downloadOrigins"],
            Json::parse(R"(["https://downloads.invalid"])"));
  EXPECT_EQ(answer["publicConfig"]["allowInsecureHttp"], false);
  EXPECT_EQ(answer["publicConfig"]["profiles"].size(), 2u);
  EXPECT_EQ(lastRequest.path, "/firmware/check");
  EXPECT_TRUE(lastRequest.signatureValid);
}

TEST_F(UpdateHostProcessTest, FirmwareCheckSendsTheDigitsOfTheDeviceVersion) {
  const Json answer =
      Json::parse(checkAgainst(EmulatorMode::encoded, requestText("firmware", "V1.0_b7", "2.5.1")));
  EXPECT_EQ(answer["response"]["data"]["received"]["romVer"], "107");
  EXPECT_EQ(answer["response"]["data"]["received"]["clientVer"], "2.5.1");
  ASSERT_TRUE(lastRequest.body);
  EXPECT_EQ(
      (*lastRequest.body)["param"],
      Json::parse(R"({"apps":[{"pkgName":"com.orvix.recorder.firmware","appVersion":"2.5.1"}]})"));
}

TEST_F(UpdateHostProcessTest, BoundaryRequestsStillReachTheGateway) {
  const Json largest = Json::parse(checkAgainst(
      EmulatorMode::encoded, requestText("desktop", "65535.99.99", "", std::string(256, 'i'))));
  EXPECT_EQ(largest["response"]["data"]["received"]["clientVer"], "655359999");
  EXPECT_EQ(largest["response"]["data"]["received"]["deviceId"], std::string(256, 'i'));

  std::string padded = requestText("desktop", "1.2.3", "");
  padded.append(4096 - padded.size(), ' ');
  EXPECT_NE(checkAgainst(EmulatorMode::encoded, padded).find("\"response\""), std::string::npos);
}

TEST_F(UpdateHostProcessTest, GatewayAnswersMapToTheirCodes) {
  const std::string desktop = requestText("desktop", "1.2.3", "");
  EXPECT_EQ(Json::parse(checkAgainst(EmulatorMode::plainJson, desktop))["response"],
            Json::parse(R"({"code":0,"message":"plain"})"));
  EXPECT_EQ(checkAgainst(EmulatorMode::redirect, desktop), failure("NETWORK"));  // not followed
  EXPECT_EQ(checkAgainst(EmulatorMode::unauthorized, desktop), failure("GATEWAY_REJECTED"));
  EXPECT_EQ(checkAgainst(EmulatorMode::notFound, desktop), failure("GATEWAY_REJECTED"));
  EXPECT_EQ(checkAgainst(EmulatorMode::serverError, desktop), failure("NETWORK"));
  EXPECT_EQ(checkAgainst(EmulatorMode::hugeAnnouncedLength, desktop), failure("RESPONSE_INVALID"));
  EXPECT_EQ(checkAgainst(EmulatorMode::endlessStream, desktop), failure("RESPONSE_INVALID"));
  EXPECT_EQ(checkAgainst(EmulatorMode::notJson, desktop), failure("RESPONSE_INVALID"));
}

TEST_F(UpdateHostProcessTest, GatewayRejectsASignatureMadeWithAnotherSecret) {
  EmulatorLease lease;
  lease.emulator().stop();
  auto settings = testing::testGatewaySettings();
  settings.secret = "Kx7Lp2Qm-but-not-the-same-secret";
  testing::GatewayEmulator strict(settings);
  ASSERT_TRUE(strict.start(ORVIX_UPDATE_TEST_PORT));
  EXPECT_EQ(check(requestText("desktop", "1.2.3", "")), failure("GATEWAY_REJECTED"));
  ASSERT_EQ(strict.requests().size(), 1u);
  EXPECT_FALSE(strict.requests()[0].signatureValid);
}

TEST_F(UpdateHostProcessTest, NoGatewayListeningIsANetworkFailure) {
  EmulatorLease lease;  // holds the port, serves nothing
  lease.emulator().stop();
  EXPECT_EQ(check(requestText("firmware", "1.0", "1.0")), failure("NETWORK"));
}

// The silent gateway answers with success only when stopped or after a minute: NETWORK means the
// program gave up on its own, whatever the speed of the machine.
TEST_F(UpdateHostProcessTest, SilentGatewayIsANetworkFailureWithinTheOverallBound) {
  EmulatorLease lease(EmulatorMode::silence);
  ASSERT_TRUE(lease.started());
  EXPECT_EQ(check(requestText("desktop", "1.2.3", "")), failure("NETWORK"));
  EXPECT_EQ(lease.emulator().requests().size(), 1u);  // it was the silence, not a closed port
}

TEST_F(UpdateHostProcessTest, ProxyFromTheEnvironmentCarriesTheCheck) {
  testing::LoopbackProxy proxy;
  ASSERT_TRUE(proxy.start());
  EmulatorLease lease;
  ASSERT_TRUE(lease.started());
  const std::string request = requestText("desktop", "1.2.3", "");
  const std::pair<std::string, std::optional<std::string>> proxied{"http_proxy", proxy.url()};
  EXPECT_NE(check(request, {proxied}).find("\"latestVersion\""), std::string::npos);
  EXPECT_EQ(proxy.requestLines(),
            std::vector<std::string>{"POST http://127.0.0.1:" +
                                     std::to_string(ORVIX_UPDATE_TEST_PORT) + "/firmware/check"});

  // A gateway that no_proxy names is reached directly.
  EXPECT_NE(check(request, {proxied, {"no_proxy", "127.0.0.1"}}).find("\"latestVersion\""),
            std::string::npos);
  EXPECT_EQ(proxy.requestLines().size(), 1u);
  const auto requests = lease.emulator().requests();
  ASSERT_EQ(requests.size(), 2u);
  for (const auto& received : requests) {
    EXPECT_EQ(received.problems, std::vector<std::string>{});
  }
}

TEST_F(UpdateHostProcessTest, InvalidRequestsAreRefusedWithoutContactingTheGateway) {
  const std::string config = failure("CHANNEL_CONFIGURATION");
  const std::string version = failure("VERSION_UNAVAILABLE");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"kind":"desktop","currentVersion":"1.2.3","clientVersion":"","identity":"d","x":""})",
       config},
      {R"({"kind":"desktop","currentVersion":"1.2.3","identity":"d"})", config},
      {R"({"kind":"desktop","currentVersion":123,"clientVersion":"","identity":"d"})", config},
      {requestText("watch", "1.2.3", ""), config},
      {requestText("desktop", "1.2.3", "", "device 42"), config},
      {requestText("desktop", "1.2.3", "", "device\t42"), config},
      {requestText("desktop", "1.2.3", "", "device\n42"), config},
      {requestText("desktop", "1.2.3", "", std::string(257, 'i')), config},
      {requestText("desktop", "1.02.3", ""), version},
      {requestText("desktop", "1.2.300", ""), version},
      {requestText("desktop", "1.2", ""), version},
      {requestText("desktop", "65536.0.0", ""), version},
      {requestText("firmware", "1.0", "1.2.3.4.5"), version},
      {requestText("firmware", "beta", "1.2"), version},
      {"not json", failure("RESPONSE_INVALID")},
      {"[]", failure("RESPONSE_INVALID")},
      {"", failure("RESPONSE_INVALID")},
  };
  EmulatorLease lease;  // present, so that a request that slipped through would be seen
  for (const auto& [input, expected] : cases) EXPECT_EQ(check(input), expected) << input;
  EXPECT_EQ(lease.emulator().requests().size(), 0u);

  std::string oversized = requestText("desktop", "1.2.3", "");
  oversized.append(4097 - oversized.size(), ' ');
  EXPECT_EQ(check(oversized), config);
}

TEST_F(UpdateHostProcessTest, AnyArgumentIsRefusedWithoutReadingInput) {
  const std::string request = requestText("desktop", "1.2.3", "");
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--help"}, std::vector<std::string>{""},
        std::vector<std::string>{"a", "b"}}) {
    const ChildResult run = runProgram(ORVIX_UPDATE_HOST_PATH, arguments, request);
    EXPECT_EQ(run.standardOutput, failure("CHANNEL_CONFIGURATION"));
    EXPECT_EQ(run.unreadInput, request.size());
    EXPECT_EQ(run.standardError, "");
    EXPECT_EQ(run.exitStatus, 0);
  }
}

// The configuration texts a program built from this file must not show in clear.
std::vector<std::string> confidentialValues(const char* configurationPath) {
  const auto configuration = parseJsonObject(orvix::testing::readFile(configurationPath));
  if (!configuration) return {};
  std::vector<std::string> values;
  for (const auto key : {"gatewaySecret", "gatewayUrl"}) {
    if (const auto* value = stringMember(*configuration, key)) values.push_back(*value);
  }
  return values;
}

TEST_F(UpdateHostProcessTest, ProgramsCarryNoClearTextConfiguration) {
  for (const auto& [program, configuration] :
       {std::pair{ORVIX_UPDATE_HOST_PATH, ORVIX_UPDATE_TEST_CONFIG},
        std::pair{ORVIX_SHIPPING_UPDATE_HOST_PATH, ORVIX_SHIPPING_UPDATE_CONFIG}}) {
    const std::string bytes = orvix::testing::readFile(program);
    ASSERT_GT(bytes.size(), 0u);
    const auto values = confidentialValues(configuration);
    ASSERT_EQ(values.size(), 2u) << "cannot read " << configuration;
    for (const auto& value : values) {
      EXPECT_EQ(bytes.find(value), std::string::npos) << program << " holds " << value;
    }
  }
}

// Even through a proxy nothing goes out: the placeholder gateway is under .invalid, whose names
// never resolve. A vendor's configuration is not checked here, since that would contact the
// vendor's gateway.
TEST_F(UpdateHostProcessTest, ShippingBuildWithThePlaceholderConfigurationAnswersNetwork) {
  if (parseJsonObject(orvix::testing::readFile(ORVIX_SHIPPING_UPDATE_CONFIG)) !=
      parseJsonObject(orvix::testing::readFile(ORVIX_PLACEHOLDER_UPDATE_CONFIG))) {
    GTEST_SKIP() << "the shipping build carries a vendor configuration";
  }
  testing::LoopbackProxy proxy;
  ASSERT_TRUE(proxy.start());
  const ChildResult run =
      runProgram(ORVIX_SHIPPING_UPDATE_HOST_PATH, {}, requestText("desktop", "1.2.3", ""),
                 {{"http_proxy", proxy.url()}, {"https_proxy", proxy.url()}});
  EXPECT_EQ(run.standardOutput, failure("NETWORK"));
  EXPECT_EQ(run.standardError, "");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(proxy.requestLines(), std::vector<std::string>{});
}

}  // namespace
}  // namespace orvix::update_host
