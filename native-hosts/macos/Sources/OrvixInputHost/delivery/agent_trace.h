#pragma once

#include <optional>
#include <set>
#include <string>

#include "common/json_wire.h"
#include "common/line_sink.h"
#include "common/time/clock.h"
#include "OrvixInputHost/delivery/event_output.h"

namespace orvix::input_host {

// The agent commit's progress report. While a "commit-agent" runs, every traced step becomes an
// "agent.observation" event for the desktop application (a fixed set of keys, so what it reads
// stays small and typed); with tracing switched on, each whole record is also copied to
// standard error for a developer. Main thread only.
class AgentTrace {
 public:
  // `copy` receives the whole records (standard error in the program); null leaves them out.
  AgentTrace(EventOutput& output, const Clock& clock, LineSink* copy)
      : output_(output), clock_(clock), copy_(copy) {}

  // The command the events belong to; outside begin()/end() no event is written.
  void begin(const std::string& commandId, std::string_view target);
  void end();

  void trace(const Json& record);

  // Inside the agent: each distinct focus failure ("stage-errorcode") is traced once per
  // command, at most eight of them.
  void focusFailure(std::string_view stage, std::optional<std::int32_t> error);

  // True the first time `key` is given during a command (at most 64 keys a command): for
  // records a poll would otherwise repeat every few milliseconds.
  bool firstTime(const std::string& key);

 private:
  struct ActiveCommand {
    std::string commandId;
    std::string target;
    Duration startedAt{0};
  };

  EventOutput& output_;
  const Clock& clock_;
  LineSink* copy_;
  std::optional<ActiveCommand> active_;
  std::set<std::string> focusFailures_;
  std::set<std::string> seen_;
};

}  // namespace orvix::input_host
