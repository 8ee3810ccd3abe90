#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/audio_format.h"

struct pa_threaded_mainloop;
struct pa_context;

namespace orvix::platform::pulse {

// Where the server is: empty for the user's own server (PULSE_SERVER, the session's socket).
using ServerAddress = std::optional<std::string>;

struct ServerDefaults {
  std::string sink;    // empty when the server has no default sink, or only its stand-in
  std::string source;  // empty when the server has no default source, or only the stand-in's monitor
};

// A source (or a sink's monitor) as a recording needs it: its name and native layout.
struct SourceFacts {
  std::string name;
  double sampleRate = 0;
  std::uint32_t channelCount = 0;
  bool isMonitor = false;
};

// What a connection reports on its own, on the loop thread with the loop locked: these must
// only copy, flag or post, never call back into the connection.
struct ConnectionEvents {
  // The server went away or dropped the connection (never for a close this side asked for).
  std::function<void()> serverGone;
  // The server's defaults changed; with this set the connection subscribes to server events.
  std::function<void(const ServerDefaults&)> defaultsChanged;
};

// One client connection to a PulseAudio server (or PipeWire's pulse server), with a loop thread
// of its own: libpulse's threaded main loop. Every query blocks the caller until the server
// answers or the patience runs out, so a hung server never holds a start-up forever. A client
// never spawns a server: with nothing listening, open() returns null.
//
// Thread rules: open, the queries and the destructor are called from any thread except the
// loop's own; callbacks (ConnectionEvents, and those of recordings made on it) run on the loop
// thread under the loop lock.
class PulseConnection {
 public:
  static constexpr auto kPatience = std::chrono::seconds(2);

  static std::unique_ptr<PulseConnection> open(const ServerAddress& server,
                                               ConnectionEvents events = {});
  ~PulseConnection();
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  std::optional<ServerDefaults> serverDefaults();
  // PipeWire's PulseAudio service, whose timing replies need the arrivals' help (see
  // ArrivalClock); as the server named itself when the connection was made.
  bool servedByPipeWire() const { return servedByPipeWire_; }
  // The monitor source of a sink, with the sink's layout.
  std::optional<SourceFacts> sinkMonitor(const std::string& sink);
  std::optional<SourceFacts> source(const std::string& name);

  // For recordings made on this connection: the loop lock, and a wait under it.
  class Locked {
   public:
    explicit Locked(PulseConnection& connection);
    ~Locked();
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

   private:
    PulseConnection& connection_;
  };
  pa_context* context() { return context_; }
  pa_threaded_mainloop* loop() { return loop_; }
  // With the loop locked: waits until `done` holds, the connection fails, or the patience runs
  // out. True only when `done` holds.
  bool waitLocked(const std::function<bool()>& done);
  // With the loop locked: wakes waitLocked so it checks again.
  void wake();

 private:
  PulseConnection(ConnectionEvents events);
  bool connect(const ServerAddress& server);
  bool usableLocked() const;
  void contextStateChanged();
  void serverEvent();

  ConnectionEvents events_;
  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  bool ready_ = false;
  bool closing_ = false;
  bool servedByPipeWire_ = false;
};

}  // namespace orvix::platform::pulse
