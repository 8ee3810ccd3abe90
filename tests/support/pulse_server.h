#pragma once

// A private server speaking PulseAudio's protocol, for tests: PulseAudio itself, or PipeWire with
// its PulseAudio service (what current desktops ship), chosen by ORVIX_TEST_AUDIO_SERVER
// ("pulseaudio", the default, or "pipewire"). Its own runtime directory, a unix socket in it and
// nothing else (no session bus of the user's, no network). Sinks "spk" (the speaker: record its
// monitor for the computer's own audio) and "headphones" are the outputs; a sink "micfeed",
// looped into the ordinary source "mic", is the microphone, fed in real time by whatever is
// played into "micfeed"; "headset", fed through "headsetfeed", is a second one. Every daemon is
// stopped by its process id.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"

namespace orvix::testing {

// Polls `done` in real time until it holds or `patience` has passed; its last answer.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds patience);

class PulseServer {
 public:
  enum class Kind { pulseaudio, pipewire };

  // Starts the server and waits until it answers; throws std::runtime_error, with the server's
  // log, when it does not.
  PulseServer();
  ~PulseServer();
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  Kind kind() const { return kind_; }

  // As a libpulse client names it, and the environment that makes any client use it.
  const std::string& address() const { return address_; }
  EnvironmentChanges clientEnvironment() const;

  // Kills the protocol server (by its id), and starts it again on the same socket. Under PipeWire
  // that is the PulseAudio service; the devices, as a desktop's sound cards, stay.
  void kill();
  void start();

  // Runs pactl against this server; false when it fails.
  bool control(const std::vector<std::string>& arguments) const;
  // Runs pactl now and again after every start, as a user's own configuration would (a module
  // to load, a default to set).
  bool configure(const std::vector<std::string>& arguments);
  // Waits until a new recording of `source` delivers audio. A fresh server's sources start
  // delivering to a low-latency client only after a while; tests that time their start-up
  // wait for that first.
  bool warmUp(const std::string& source) const;

  // The machine loses its microphones (with their feeds; on PipeWire the speakers too, whose
  // loopbacks put out sources of their own), or everything that plays. Either way the server
  // puts its stand-in sink in place of the last one.
  bool removeMicrophones() const;
  bool removeSpeakers() const;
  // The recording streams clients opened (server-side ids), and the server ending one of them.
  std::vector<std::string> clientRecordings() const;
  bool endRecording(const std::string& id) const;

 private:
  void startPulseAudio();
  void writePulseAudioStartupScript() const;
  void startPipeWire();
  void awaitProtocol(ChildProcess& daemon, const std::string& logName);
  bool runTool(const std::string& tool, const std::vector<std::string>& arguments) const;
  // Waits for the stand-in sink a server puts in place of the last one that went.
  bool standInIsDefault() const;
  std::string toolOutput(const std::string& tool, const std::vector<std::string>& arguments) const;
  std::unique_ptr<ChildProcess> startDaemon(const std::string& program,
                                            const std::vector<std::string>& arguments,
                                            const std::string& logName) const;

  Kind kind_;
  std::filesystem::path directory_;
  std::string address_;
  // PipeWire's own daemons, which outlive a restart of its PulseAudio service; last to go.
  std::vector<std::unique_ptr<ChildProcess>> stack_;
  std::unique_ptr<ChildProcess> daemon_;
  std::vector<std::vector<std::string>> configuration_;
};

// Plays a signal into a sink through libpulse, on a thread of its own, until destroyed; when the
// server goes away it connects again, so a restarted server hears it too. A sine tone, or any
// waveform of the frame number at 48 kHz.
class TonePlayer {
 public:
  static constexpr int kRate = 48000;
  using Waveform = std::function<float(std::uint64_t frame)>;

  // What the player keeps written ahead of the sink. A short buffer keeps it near real time, so
  // what it plays reaches the sink about when it is written (PulseAudio also sizes a sink's
  // latency by its clients' buffers). Under PipeWire, which takes audio a graph cycle (1024
  // frames) at a time, a player with only two cycles in hand runs dry on a loaded machine, and
  // the hole is in what the sink plays: a test that needs an unbroken signal asks for `kSteady`.
  static constexpr std::chrono::milliseconds kNearRealTime{50};
  static constexpr std::chrono::milliseconds kSteady{200};
  // PulseAudio renders a null sink in blocks of its clients' least latency: a quarter of this
  // buffer (1.25 ms) rather than 12.5 ms with `kNearRealTime`.
  static constexpr std::chrono::milliseconds kSmallSinkBlocks{5};

  TonePlayer(std::string server, std::string sink, double frequency,
             std::chrono::milliseconds buffer = kNearRealTime);
  TonePlayer(std::string server, std::string sink, Waveform waveform,
             std::chrono::milliseconds buffer = kNearRealTime);
  ~TonePlayer();
  TonePlayer(const TonePlayer&) = delete;
  TonePlayer& operator=(const TonePlayer&) = delete;

 private:
  void run();

  std::string server_;
  std::string sink_;
  Waveform waveform_;
  std::chrono::milliseconds buffer_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace orvix::testing
