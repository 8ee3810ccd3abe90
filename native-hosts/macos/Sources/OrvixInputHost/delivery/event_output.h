#pragma once

#include <mutex>

#include "common/json_wire.h"
#include "common/line_sink.h"

namespace orvix::input_host {

// The single writer of the host's events. Any thread may emit; `emitLock` keeps every event one
// whole line. Callers may hold the quick-add lock while emitting, never the other way round.
// The program's sink only queues (a QueuedLineWriter), so emitting never waits for the reader.
class EventOutput {
 public:
  explicit EventOutput(LineSink& sink) : sink_(sink) {}

  // Writes the event as one compact JSON line; an event that cannot be serialised (a
  // non-finite number, invalid UTF-8) is dropped without a trace.
  void emit(const Json& event);

 private:
  LineSink& sink_;
  std::mutex emitLock_;
};

}  // namespace orvix::input_host
