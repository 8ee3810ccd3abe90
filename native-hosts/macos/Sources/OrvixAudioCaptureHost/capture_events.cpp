#include "OrvixAudioCaptureHost/capture_events.h"

#include "OrvixAudioCaptureHost/capture_constants.h"
#include "common/event_line.h"

namespace orvix::capture {

void CaptureEvents::emit(std::string_view event, Json keys) {
  const auto line = eventLine(makeEvent(schemaVersion, event, std::move(keys)));
  if (!line) return;
  std::lock_guard lock(outputLock_);
  sink_.writeLine(*line);
}

}  // namespace orvix::capture
