#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/event_line.h"
#include "common/json_wire.h"
#include "OrvixInputHost/delivery/input_host_settings.h"

namespace orvix::input_host {

// "command.result": the answer of "press-enter", "commit-text" and "commit-agent".
inline Json commandResult(const std::string& commandId, std::string_view outcome,
                          std::optional<std::string_view> reason = std::nullopt) {
  Json event = makeEvent(schemaVersion, "command.result",
                         {{"commandId", commandId}, {"outcome", outcome}});
  if (reason) event["reason"] = *reason;
  return event;
}

// "target.capture.result".
inline Json targetCaptureResult(const std::string& commandId, std::string_view outcome) {
  return makeEvent(schemaVersion, "target.capture.result",
                   {{"commandId", commandId}, {"outcome", outcome}});
}

}  // namespace orvix::input_host
