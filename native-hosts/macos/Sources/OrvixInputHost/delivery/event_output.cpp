#include "OrvixInputHost/delivery/event_output.h"

namespace orvix::input_host {

void EventOutput::emit(const Json& event) {
  auto text = serializeCompact(event);
  if (!text) return;
  text->push_back('\n');
  std::lock_guard lock(emitLock_);
  sink_.writeLine(*text);
}

}  // namespace orvix::input_host
