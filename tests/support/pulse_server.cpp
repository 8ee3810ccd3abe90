#include "support/pulse_server.h"

#include <pulse/simple.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <numbers>
#include <stdexcept>

#include "support/file_text.h"

namespace orvix::testing {

namespace {

using namespace std::chrono_literals;

constexpr auto kStartPatience = 10s;
// A fresh server was seen to need about 1.9 s before a new source's first samples arrive.
constexpr auto kWarmUpPatience = 8s;

// The native protocol goes last, so a client that connects finds the server complete, also
// after a restart. Anonymous access is safe: the socket sits in a directory only we can enter.
constexpr const char* kStartupScript = R"(load-module module-null-sink sink_name=spk rate=48000
load-module module-null-sink sink_name=micfeed rate=48000
load-module module-remap-source source_name=mic master=micfeed.monitor
set-default-sink spk
set-default-source mic
load-module module-native-protocol-unix auth-anonymous=1
)";

std::filesystem::path makePrivateDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "orvix-pulse-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

}  // namespace

PulseServer::PulseServer() : directory_(makePrivateDirectory()) {
  address_ = "unix:" + (directory_ / "pulse" / "native").string();
  std::ofstream(directory_ / "server.pa") << kStartupScript;
  // Clients started with this environment never spawn a server of their own.
  std::ofstream(directory_ / "client.conf") << "autospawn = no\n";
  start();
}

PulseServer::~PulseServer() {
  daemon_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

EnvironmentChanges PulseServer::clientEnvironment() const {
  return {{"PULSE_SERVER", address_},
          {"PULSE_CLIENTCONFIG", (directory_ / "client.conf").string()},
          {"HOME", directory_.string()},
          {"XDG_RUNTIME_DIR", directory_.string()},
          {"DBUS_SESSION_BUS_ADDRESS", std::nullopt}};
}

void PulseServer::kill() { daemon_.reset(); }

void PulseServer::start() {
  ChildOptions options;
  options.arguments = {"--daemonize=no",     "--exit-idle-time=-1",
                       "-n",                 "-F",
                       (directory_ / "server.pa").string(),
                       "--log-target=file:" + (directory_ / "pulse.log").string(),
                       "--use-pid-file=no"};
  options.environment = clientEnvironment();
  options.closeStandardInput = true;
  try {
    daemon_ = std::make_unique<ChildProcess>("pulseaudio", options);
  } catch (const std::exception& error) {
    throw std::runtime_error(std::string("cannot start pulseaudio (scripts/install-deps installs it): ") +
                             error.what());
  }
  const auto deadline = std::chrono::steady_clock::now() + kStartPatience;
  while (std::chrono::steady_clock::now() < deadline) {
    if (control({"info"})) return;
    if (daemon_->waitForExit(100ms)) break;
  }
  daemon_.reset();
  throw std::runtime_error("the private PulseAudio server did not come up; its log:\n" +
                           readFile(directory_ / "pulse.log"));
}

bool PulseServer::control(const std::vector<std::string>& arguments) const {
  ChildOptions options;
  options.arguments = arguments;
  options.environment = clientEnvironment();
  return runChild("pactl", options).exitStatus == 0;
}

bool PulseServer::warmUp(const std::string& source) const {
  ChildOptions options;
  options.arguments = {"--latency-msec=20", "--raw", "--format=s16le", "--rate=48000",
                       "--channels=1", "-d", source};
  options.environment = clientEnvironment();
  ChildProcess recorder("parec", options);
  // A tenth of a second of audio means samples flow; the recorder is killed on the way out.
  return recorder.waitForOutput(9600,
                                std::chrono::duration_cast<std::chrono::milliseconds>(kWarmUpPatience));
}

TonePlayer::TonePlayer(std::string server, std::string sink, double frequency)
    : server_(std::move(server)), sink_(std::move(sink)), frequency_(frequency) {
  thread_ = std::thread([this] { run(); });
}

TonePlayer::~TonePlayer() {
  stopping_ = true;
  thread_.join();
}

void TonePlayer::run() {
  const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, kRate, 1};
  // A short buffer keeps the player near real time, so what it plays reaches the sink about
  // when it is written.
  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<std::uint32_t>(-1);
  attributes.tlength = static_cast<std::uint32_t>(kRate / 20 * sizeof(float));
  attributes.prebuf = static_cast<std::uint32_t>(-1);
  attributes.minreq = static_cast<std::uint32_t>(-1);
  std::vector<float> chunk(kRate / 100);
  std::uint64_t frame = 0;
  while (!stopping_) {
    int error = 0;
    pa_simple* stream = pa_simple_new(server_.c_str(), "tone", PA_STREAM_PLAYBACK, sink_.c_str(),
                                      "tone", &spec, nullptr, &attributes, &error);
    if (stream == nullptr) {
      std::this_thread::sleep_for(50ms);
      continue;
    }
    while (!stopping_) {
      for (float& sample : chunk) {
        sample = static_cast<float>(
            0.25 * std::sin(2 * std::numbers::pi * frequency_ * static_cast<double>(frame++) / kRate));
      }
      if (pa_simple_write(stream, chunk.data(), chunk.size() * sizeof(float), &error) < 0) break;
    }
    pa_simple_free(stream);
  }
}

}  // namespace orvix::testing
