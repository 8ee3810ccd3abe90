// The built program as the desktop application runs it: a child process with pipes on its
// standard streams, talking to the gateway emulator on loopback through its built-in (test)
// configuration. Every failure code the program can raise is produced here.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "common/json_wire.h"
#include "support/file_text.h"
#include "tools/update-host/emulator_lease.h"
#include "tools/update-host/loopback_proxy.h"

namespace orvix::update_host {
namespace {

using testing::EmulatorLease;
using testing::EmulatorMode;

struct ProgramRun {
  std::string out;
  std::string err;
  int status = -1;
  std::size_t unreadInput = 0;  // bytes of the request still waiting when the program had ended
};

// Runs the program with `input` on standard input (then closed) and `environment` ("NAME=value")
// added to this process's. Waits as long as the program runs: a hung program is the test
// runner's time-out to catch, not a stopwatch's.
ProgramRun runProgram(const char* path, std::vector<std::string> arguments,
                      const std::string& input, std::vector<std::string> environment = {}) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    return {};
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<char*> argv{const_cast<char*>(path)};
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (char** entry = environ; *entry != nullptr; ++entry) envp.push_back(*entry);
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, path, &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  ProgramRun run;
  if (spawned != 0) return run;

  // Requests are small: they fit the pipe, and a program that stopped reading just loses them.
  // The read end stays open here too, so that what the program left unread can be counted.
  if (!input.empty()) (void)!::write(in[1], input.data(), input.size());
  ::close(in[1]);

  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open = 2;
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[65536];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (auto& fd : fds) {
    if (fd.fd >= 0) ::close(fd.fd);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  int unread = 0;
  if (::ioctl(in[0], FIONREAD, &unread) == 0) run.unreadInput = static_cast<std::size_t>(unread);
  ::close(in[0]);
  return run;
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
  static void SetUpTestSuite() {
    std::signal(SIGPIPE, SIG_IGN);
    testing::forgetProxyEnvironment();
  }

  // Runs the test build and checks what must hold for every run: status 0, nothing on standard
  // error, one JSON object without a trailing newline.
  std::string check(const std::string& input, std::vector<std::string> environment = {}) {
    const ProgramRun run = runProgram(ORVIX_UPDATE_HOST_PATH, {}, input, std::move(environment));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(parseJsonObject(run.out)) << run.out;
    EXPECT_FALSE(!run.out.empty() && run.out.back() == '\n');
    return run.out;
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
  const std::string proxied = "http_proxy=" + proxy.url();
  EXPECT_NE(check(request, {proxied}).find("\"latestVersion\""), std::string::npos);
  EXPECT_EQ(proxy.requestLines(),
            std::vector<std::string>{"POST http://127.0.0.1:" +
                                     std::to_string(ORVIX_UPDATE_TEST_PORT) + "/firmware/check"});

  // A gateway that no_proxy names is reached directly.
  EXPECT_NE(check(request, {proxied, "no_proxy=127.0.0.1"}).find("\"latestVersion\""),
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
    const ProgramRun run = runProgram(ORVIX_UPDATE_HOST_PATH, arguments, request);
    EXPECT_EQ(run.out, failure("CHANNEL_CONFIGURATION"));
    EXPECT_EQ(run.unreadInput, request.size());
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
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
  const ProgramRun run =
      runProgram(ORVIX_SHIPPING_UPDATE_HOST_PATH, {}, requestText("desktop", "1.2.3", ""),
                 {"http_proxy=" + proxy.url(), "https_proxy=" + proxy.url()});
  EXPECT_EQ(run.out, failure("NETWORK"));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(proxy.requestLines(), std::vector<std::string>{});
}

}  // namespace
}  // namespace orvix::update_host
