#pragma once

#include <mutex>
#include <string_view>

#include "common/json_wire.h"
#include "common/line_sink.h"

namespace orvix::capture {

// The host's one event writer. Any thread may emit (commands, start-up and stop tasks, audio
// queues); the output lock keeps every event one whole line. It is always taken alone.
class CaptureEvents {
 public:
  explicit CaptureEvents(LineSink& sink) : sink_(sink) {}

  // Adds "schemaVersion" and "event" after the event's own keys (so they win over keys of the
  // same name) and writes one compact line with sorted keys. An event that cannot be
  // serialised is dropped silently.
  void emit(std::string_view event, Json keys = Json::object());

 private:
  LineSink& sink_;
  std::mutex outputLock_;
};

}  // namespace orvix::capture
