// The built program as the desktop application runs it: a child process with pipes on its
// standard streams, talking to the gateway emulator on loopback through its built-in (test)
// configuration. Every failure code the program can raise is produced here.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fstream>
#include <iterator>

#include "common/json_wire.h"
#include "tools/update-host/emulator_lease.h"

namespace orvix::update_host {
namespace {

using namespace std::chrono_literals;
using testing::EmulatorLease;
using testing::EmulatorMode;

struct ProgramRun {
  std::string out;
  std::string err;
  int status = -1;
  bool timedOut = false;
};

// Runs the program with `input` on standard input. With `keepInputOpen`, standard input stays
// open (a program that tried to read it would hang until the time limit).
ProgramRun runProgram(const char* path, std::vector<std::string> arguments,
                      const std::string& input, bool keepInputOpen = false,
                      std::chrono::seconds limit = 40s) {
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
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, path, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  ProgramRun run;
  if (spawned != 0) return run;

  // Requests are small: they fit the pipe, and a program that stopped reading just loses them.
  if (!input.empty()) (void)!::write(in[1], input.data(), input.size());
  if (!keepInputOpen) ::close(in[1]);

  const auto deadline = std::chrono::steady_clock::now() + limit;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&run.out, &run.err};
  int open = 2;
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left <= 0ms) {
      run.timedOut = true;
      ::kill(pid, SIGKILL);
      break;
    }
    if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
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
  if (keepInputOpen) ::close(in[1]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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
  static void SetUpTestSuite() { std::signal(SIGPIPE, SIG_IGN); }

  // Runs the test build and checks what must hold for every run: status 0, nothing on standard
  // error, one JSON object without a trailing newline.
  std::string check(const std::string& input, std::vector<std::string> arguments = {}) {
    const ProgramRun run = runProgram(ORVIX_UPDATE_HOST_PATH, std::move(arguments), input);
    EXPECT_FALSE(run.timedOut);
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

TEST_F(UpdateHostProcessTest, SilentGatewayIsANetworkFailureWithinTheOverallBound) {
  EmulatorLease lease(EmulatorMode::silence);
  ASSERT_TRUE(lease.started());
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(check(requestText("desktop", "1.2.3", "")), failure("NETWORK"));
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_GE(took, 14s);
  EXPECT_LE(took, 30s);  // 16 s plus generous slack for a loaded machine
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
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--help"}, std::vector<std::string>{""},
        std::vector<std::string>{"a", "b"}}) {
    // Standard input stays open: reading it would block until the time limit.
    const ProgramRun run = runProgram(ORVIX_UPDATE_HOST_PATH, arguments,
                                      requestText("desktop", "1.2.3", ""), true, 10s);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.out, failure("CHANNEL_CONFIGURATION"));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
  }
}

TEST_F(UpdateHostProcessTest, ProgramsCarryNoClearTextConfiguration) {
  for (const char* path : {ORVIX_UPDATE_HOST_PATH, ORVIX_SHIPPING_UPDATE_HOST_PATH}) {
    std::ifstream file(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 0u);
    for (const char* secret : {"Kx7Lp2Qm-test-gateway-secret", "placeholder-secret-not-for-release",
                               "update-gateway.invalid", "orvix-desktop-test"}) {
      EXPECT_EQ(bytes.find(secret), std::string::npos) << path << " holds " << secret;
    }
  }
}

TEST_F(UpdateHostProcessTest, ShippingBuildWithThePlaceholderConfigurationAnswersNetwork) {
  const ProgramRun run =
      runProgram(ORVIX_SHIPPING_UPDATE_HOST_PATH, {}, requestText("desktop", "1.2.3", ""));
  EXPECT_EQ(run.out, failure("NETWORK"));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0);
}

}  // namespace
}  // namespace orvix::update_host
