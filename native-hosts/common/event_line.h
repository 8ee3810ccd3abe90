#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/json_wire.h"

namespace orvix {

// A host event: `fields` with the envelope every host puts around its events, "schemaVersion"
// and "event". The envelope wins over fields of the same name, so no event can pose as another.
Json makeEvent(std::int64_t schemaVersion, std::string_view name, Json fields = Json::object());

// The event as one output line: compact JSON with keys in ascending order, then LF. Absent when
// the event cannot be written as JSON (a non-finite number, text that is not UTF-8); the hosts
// drop such an event rather than write something the reader cannot parse.
std::optional<std::string> eventLine(const Json& event);

}  // namespace orvix
