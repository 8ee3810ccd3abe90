#include "support/pulse_server.h"

#include <pulse/simple.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <numbers>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "support/file_text.h"

namespace orvix::testing {

namespace {

using namespace std::chrono_literals;

constexpr auto kStartPatience = 10s;
// A fresh server was seen to need about 1.9 s before a new source's first samples arrive.
constexpr auto kWarmUpPatience = 8s;

// A desktop's server keeps a stand-in sink while no other exists (module-always-sink), as
// PipeWire's does. The native protocol goes last, so a client that connects finds the server
// complete, also after a restart. Anonymous access is safe: the socket sits in a directory only
// we can enter.
constexpr const char* kPulseAudioStartupScript = R"(load-module module-null-sink sink_name=spk rate=48000
load-module module-null-sink sink_name=headphones rate=48000
load-module module-null-sink sink_name=micfeed rate=48000
load-module module-remap-source source_name=mic master=micfeed.monitor
load-module module-null-sink sink_name=headsetfeed rate=48000
load-module module-remap-source source_name=headset master=headsetfeed.monitor
load-module module-always-sink
set-default-sink spk
set-default-source mic
%SETTINGS%load-module module-native-protocol-unix auth-anonymous=1
)";

// The same devices as PipeWire's own objects, so they outlive its PulseAudio service as sound
// cards do. (A Pulse-style virtual source was routed into the default sink by WirePlumber; a
// loopback whose far side is an ordinary source is not.) The speaker is a loopback's near side
// too, like the microphones' feeds: a null sink claims a latency of its own that a loopback does
// not, and a click played into all of them would seem to reach the speaker later.
std::string pipeWireLoopback(const std::string& sink, const std::string& source,
                             const std::string& positions) {
  const std::string format = " audio.position = \"" + positions + "\" audio.rate = 48000 }";
  return "  { name = libpipewire-module-loopback\n    args = {\n"
         "      capture.props = { node.name = \"" + sink + "\" media.class = \"Audio/Sink\"" +
         format + "\n      playback.props = { node.name = \"" + source +
         "\" media.class = \"Audio/Source\"" + format + "\n    } }\n";
}

std::string pipeWireDevices() {
  return "context.modules = [\n" + pipeWireLoopback("spk", "spkecho", "FL,FR") +
         pipeWireLoopback("headphones", "headphonesecho", "FL,FR") +
         pipeWireLoopback("micfeed", "mic", "MONO") +
         pipeWireLoopback("headsetfeed", "headset", "MONO") + "]\n";
}

std::filesystem::path makePrivateDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "orvix-pulse-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

PulseServer::Kind kindFromEnvironment() {
  const char* chosen = std::getenv("ORVIX_TEST_AUDIO_SERVER");
  if (chosen == nullptr || std::string_view(chosen).empty() ||
      std::string_view(chosen) == "pulseaudio") {
    return PulseServer::Kind::pulseaudio;
  }
  if (std::string_view(chosen) == "pipewire") return PulseServer::Kind::pipewire;
  throw std::runtime_error(std::string("ORVIX_TEST_AUDIO_SERVER names no known server: ") + chosen);
}


// PulseAudio's command line, which pactl lacks a "kill" of; on a socket of the test's own.
bool sendToPulseCommandLine(const std::string& path, const std::string& command) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof(address.sun_path) - 1);
  bool sent = fd >= 0 &&
              ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  const std::string line = command + "\n";
  sent = sent && ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  // The server runs what it got and closes at the end of the input; the wait is bounded.
  if (sent) {
    ::shutdown(fd, SHUT_WR);
    const timeval patience{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof(patience));
    char answer[256];
    while (::read(fd, answer, sizeof(answer)) > 0) {
    }
  }
  if (fd >= 0) ::close(fd);
  return sent;
}

}  // namespace

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return done();
}

PulseServer::PulseServer() : kind_(kindFromEnvironment()), directory_(makePrivateDirectory()) {
  address_ = "unix:" + (directory_ / "pulse" / "native").string();
  // Clients started with this environment never spawn a server of their own.
  std::ofstream(directory_ / "client.conf") << "autospawn = no\n";
  if (kind_ == Kind::pulseaudio) {
    writePulseAudioStartupScript();
  } else {
    const auto drop_ins = directory_ / "config" / "pipewire" / "pipewire.conf.d";
    std::filesystem::create_directories(drop_ins);
    std::ofstream(drop_ins / "devices.conf") << pipeWireDevices();
  }
  try {
    start();
  } catch (...) {
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
    throw;
  }
}

PulseServer::~PulseServer() {
  daemon_.reset();
  while (!stack_.empty()) stack_.pop_back();
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

EnvironmentChanges PulseServer::clientEnvironment() const {
  return {{"PULSE_SERVER", address_},
          {"PULSE_CLIENTCONFIG", (directory_ / "client.conf").string()},
          {"HOME", directory_.string()},
          {"XDG_RUNTIME_DIR", directory_.string()},
          {"XDG_CONFIG_HOME", (directory_ / "config").string()},
          {"XDG_STATE_HOME", (directory_ / "state").string()},
          {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (directory_ / "bus").string()},
          {"PIPEWIRE_REMOTE", std::nullopt},
          {"DISPLAY", std::nullopt},
          {"WAYLAND_DISPLAY", std::nullopt}};
}

void PulseServer::kill() { daemon_.reset(); }

void PulseServer::start() {
  if (kind_ == Kind::pulseaudio) {
    startPulseAudio();
  } else {
    startPipeWire();
  }
  // PulseAudio takes the settings from its start-up script; PipeWire's service is told again.
  if (kind_ == Kind::pulseaudio) return;
  for (const auto& setting : configuration_) {
    if (!control(setting)) throw std::runtime_error("a setting did not take again after a restart");
  }
}

bool PulseServer::configure(const std::vector<std::string>& arguments) {
  if (!control(arguments)) return false;
  configuration_.push_back(arguments);
  if (kind_ == Kind::pulseaudio) writePulseAudioStartupScript();
  return true;
}

void PulseServer::writePulseAudioStartupScript() const {
  // As a desktop's server restores its user's settings before any client can connect: pactl's
  // commands are the script's own.
  std::string settings;
  for (const auto& setting : configuration_) {
    for (const auto& word : setting) settings += word + (&word == &setting.back() ? "\n" : " ");
  }
  std::string script = kPulseAudioStartupScript;
  script.replace(script.find("%SETTINGS%"), std::string_view("%SETTINGS%").size(), settings);
  std::ofstream(directory_ / "server.pa") << script;
}

std::unique_ptr<ChildProcess> PulseServer::startDaemon(const std::string& program,
                                                       const std::vector<std::string>& arguments,
                                                       const std::string& logName) const {
  // Through a shell, so that what the daemon says goes to a log file of its own, never into a
  // pipe nobody reads; exec keeps the daemon's id the child's.
  ChildOptions options;
  options.arguments = {"-c", "exec \"$@\" >>\"$ORVIX_DAEMON_LOG\" 2>&1", "sh", program};
  options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
  options.environment = clientEnvironment();
  options.environment.emplace_back("ORVIX_DAEMON_LOG", (directory_ / logName).string());
  options.closeStandardInput = true;
  return std::make_unique<ChildProcess>("/bin/sh", options);
}

void PulseServer::awaitProtocol(ChildProcess& daemon, const std::string& logName) {
  const auto deadline = std::chrono::steady_clock::now() + kStartPatience;
  while (std::chrono::steady_clock::now() < deadline) {
    if (control({"info"})) return;
    if (daemon.waitForExit(100ms)) break;
  }
  daemon_.reset();
  throw std::runtime_error("the private audio server did not come up (scripts/install-deps "
                           "installs it); its log:\n" +
                           readFile(directory_ / logName));
}

void PulseServer::startPulseAudio() {
  daemon_ = startDaemon("pulseaudio",
                        {"--daemonize=no", "--exit-idle-time=-1", "-n", "-F",
                         (directory_ / "server.pa").string(), "--log-target=stderr",
                         "--use-pid-file=no"},
                        "pulse.log");
  awaitProtocol(*daemon_, "pulse.log");
}

void PulseServer::startPipeWire() {
  if (stack_.empty()) {
    stack_.push_back(startDaemon(
        "dbus-daemon",
        {"--session", "--nofork", "--address=unix:path=" + (directory_ / "bus").string()},
        "dbus.log"));
    if (!eventually([&] { return std::filesystem::exists(directory_ / "bus"); }, kStartPatience)) {
      throw std::runtime_error("the private session bus did not come up");
    }
    stack_.push_back(startDaemon("pipewire", {}, "pipewire.log"));
    if (!eventually([&] { return std::filesystem::exists(directory_ / "pipewire-0"); },
                 kStartPatience)) {
      throw std::runtime_error("pipewire did not come up; its log:\n" +
                               readFile(directory_ / "pipewire.log"));
    }
    stack_.push_back(startDaemon("wireplumber", {}, "wireplumber.log"));
  }
  daemon_ = startDaemon("pipewire-pulse", {}, "pipewire-pulse.log");
  awaitProtocol(*daemon_, "pipewire-pulse.log");
  // The session manager keeps the defaults; set them as a user's settings would.
  const bool defaults = eventually(
      [&] {
        return control({"set-default-sink", "spk"}) && control({"set-default-source", "mic"}) &&
               toolOutput("pactl", {"get-default-source"}) == "mic\n";
      },
      kStartPatience);
  if (!defaults) {
    throw std::runtime_error("PipeWire's devices did not appear; its log:\n" +
                             readFile(directory_ / "pipewire.log") +
                             readFile(directory_ / "wireplumber.log"));
  }
}

bool PulseServer::runTool(const std::string& tool, const std::vector<std::string>& arguments) const {
  ChildOptions options;
  options.arguments = arguments;
  options.environment = clientEnvironment();
  return runChild(tool, options).exitStatus == 0;
}

std::string PulseServer::toolOutput(const std::string& tool,
                                    const std::vector<std::string>& arguments) const {
  ChildOptions options;
  options.arguments = arguments;
  options.environment = clientEnvironment();
  return runChild(tool, options).standardOutput;
}

bool PulseServer::control(const std::vector<std::string>& arguments) const {
  return runTool("pactl", arguments);
}

bool PulseServer::removeMicrophones() const {
  if (kind_ == Kind::pulseaudio) return control({"unload-module", "module-remap-source"});
  // A loopback goes as one: the source and its feed. The speakers are loopbacks too, whose
  // echoes are sources a client would take for microphones, so they go as well.
  // pw-cli returns before the graph has let go of them.
  return runTool("pw-cli", {"destroy", "mic"}) && runTool("pw-cli", {"destroy", "headset"}) &&
         runTool("pw-cli", {"destroy", "spk"}) && runTool("pw-cli", {"destroy", "headphones"}) &&
         standInIsDefault();
}

bool PulseServer::removeSpeakers() const {
  if (kind_ == Kind::pipewire) return removeMicrophones();
  return control({"unload-module", "module-null-sink"}) && standInIsDefault();
}

bool PulseServer::standInIsDefault() const {
  return eventually([&] { return toolOutput("pactl", {"get-default-sink"}) == "auto_null\n"; },
                    std::chrono::duration_cast<std::chrono::milliseconds>(kStartPatience));
}

std::vector<std::string> PulseServer::clientRecordings() const {
  std::istringstream lines(toolOutput("pactl", {"list", "short", "source-outputs"}));
  std::vector<std::string> ids;
  for (std::string line; std::getline(lines, line);) {
    // PulseAudio lists its own remapping stream too; PipeWire's loopback is no client stream.
    if (kind_ == Kind::pulseaudio && line.find("protocol-native") == std::string::npos) continue;
    if (!line.empty()) ids.push_back(line.substr(0, line.find('\t')));
  }
  return ids;
}

bool PulseServer::endRecording(const std::string& id) const {
  if (kind_ == Kind::pipewire) {
    // pipewire-pulse numbers a stream by its node's serial; pw-cli destroys by object id.
    const auto objects = nlohmann::json::parse(toolOutput("pw-dump", {}), nullptr, false);
    if (!objects.is_array()) return false;
    for (const auto& object : objects) {
      const auto serial = object.value("/info/props/object.serial"_json_pointer, nlohmann::json());
      const auto node = object.value("id", nlohmann::json());
      if (object.value("type", "") == "PipeWire:Interface:Node" && serial.is_number() &&
          node.is_number() && std::to_string(serial.get<std::uint64_t>()) == id) {
        return runTool("pw-cli", {"destroy", std::to_string(node.get<std::uint64_t>())});
      }
    }
    return false;
  }
  const std::string path = (directory_ / "cli").string();
  if (!std::filesystem::exists(path) &&
      !control({"load-module", "module-cli-protocol-unix", "socket=" + path})) {
    return false;
  }
  return sendToPulseCommandLine(path, "kill-source-output " + id);
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

TonePlayer::TonePlayer(std::string server, std::string sink, double frequency,
                       std::chrono::milliseconds buffer)
    : TonePlayer(
          std::move(server), std::move(sink),
          [frequency](std::uint64_t frame) {
            return static_cast<float>(0.25 * std::sin(2 * std::numbers::pi * frequency *
                                                      static_cast<double>(frame) / kRate));
          },
          buffer) {}

TonePlayer::TonePlayer(std::string server, std::string sink, Waveform waveform,
                       std::chrono::milliseconds buffer)
    : server_(std::move(server)),
      sink_(std::move(sink)),
      waveform_(std::move(waveform)),
      buffer_(buffer) {
  thread_ = std::thread([this] { run(); });
}

TonePlayer::~TonePlayer() {
  stopping_ = true;
  thread_.join();
}

void TonePlayer::run() {
  const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, kRate, 1};
  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<std::uint32_t>(-1);
  attributes.tlength =
      static_cast<std::uint32_t>(static_cast<std::uint64_t>(buffer_.count()) * kRate / 1000 *
                                 sizeof(float));
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
      for (float& sample : chunk) sample = waveform_(frame++);
      if (pa_simple_write(stream, chunk.data(), chunk.size() * sizeof(float), &error) < 0) break;
    }
    pa_simple_free(stream);
  }
}

}  // namespace orvix::testing
