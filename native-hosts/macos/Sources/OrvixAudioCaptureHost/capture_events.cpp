#include "OrvixAudioCaptureHost/capture_events.h"

#include "OrvixAudioCaptureHost/capture_constants.h"

namespace orvix::capture {

void CaptureEvents::emit(std::string_view event, Json keys) {
  if (!keys.is_object()) keys = Json::object();
  keys["schemaVersion"] = schemaVersion;
  keys["event"] = std::string(event);
  auto line = serializeCompact(keys);
  if (!line) return;
  line->push_back('\n');
  std::lock_guard lock(outputLock_);
  sink_.writeLine(*line);
}

}  // namespace orvix::capture
