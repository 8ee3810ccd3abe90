#include "common/event_line.h"

namespace orvix {

Json makeEvent(std::int64_t schemaVersion, std::string_view name, Json fields) {
  if (!fields.is_object()) fields = Json::object();
  fields["schemaVersion"] = schemaVersion;
  fields["event"] = name;
  return fields;
}

std::optional<std::string> eventLine(const Json& event) {
  auto line = serializeCompact(event);
  if (line) line->push_back('\n');
  return line;
}

}  // namespace orvix
