#pragma once

// A private PulseAudio server for tests: its own runtime directory, a unix socket in it and
// nothing else (no session, no D-Bus, no network). A null sink "spk" is the speaker (record its
// monitor for the computer's own audio); a second null sink "micfeed", remapped into the
// ordinary source "mic", is the microphone, fed in real time by whatever is played into
// "micfeed". The server is stopped by its process id.
#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"

namespace orvix::testing {

class PulseServer {
 public:
  // Starts the server and waits until it answers; throws std::runtime_error, with the server's
  // log, when it does not.
  PulseServer();
  ~PulseServer();
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  // As a libpulse client names it, and the environment that makes any client use it.
  const std::string& address() const { return address_; }
  EnvironmentChanges clientEnvironment() const;

  // Kills the server (by its id), and starts it again on the same socket.
  void kill();
  void start();

  // Runs pactl against this server; false when it fails.
  bool control(const std::vector<std::string>& arguments) const;
  // Waits until a new recording of `source` delivers audio. A fresh server's sources start
  // delivering to a low-latency client only after a while; tests that time their start-up
  // wait for that first.
  bool warmUp(const std::string& source) const;

 private:
  std::filesystem::path directory_;
  std::string address_;
  std::unique_ptr<ChildProcess> daemon_;
};

// Plays a sine tone into a sink through libpulse, on a thread of its own, until destroyed;
// when the server goes away it connects again, so a restarted server hears it too.
class TonePlayer {
 public:
  static constexpr int kRate = 48000;

  TonePlayer(std::string server, std::string sink, double frequency);
  ~TonePlayer();
  TonePlayer(const TonePlayer&) = delete;
  TonePlayer& operator=(const TonePlayer&) = delete;

 private:
  void run();

  std::string server_;
  std::string sink_;
  double frequency_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace orvix::testing
