#include "OrvixInputHost/delivery/event_output.h"

#include "common/event_line.h"

namespace orvix::input_host {

void EventOutput::emit(const Json& event) {
  const auto line = eventLine(event);
  if (!line) return;
  std::lock_guard lock(emitLock_);
  sink_.writeLine(*line);
}

}  // namespace orvix::input_host
