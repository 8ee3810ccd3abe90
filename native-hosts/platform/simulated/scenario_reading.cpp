#include "platform/simulated/scenario_reading.h"

namespace orvix::platform::simulated::scenario_reading {

void fail(const std::string& where, const std::string& what) {
  throw Fault{(where.empty() ? std::string("scenario") : where) + ": " + what};
}

std::string at(const std::string& where, std::string_view key) {
  return where.empty() ? std::string(key) : where + "." + std::string(key);
}

std::string at(const std::string& where, std::size_t index) {
  return where + "[" + std::to_string(index) + "]";
}

void requireKeys(const Json& object, const std::string& where,
                 std::initializer_list<std::string_view> allowed) {
  if (!object.is_object()) fail(where, "must be an object");
  for (const auto& item : object.items()) {
    bool known = false;
    for (const std::string_view name : allowed) known = known || item.key() == name;
    if (!known) fail(at(where, item.key()), "unknown key");
  }
}

const Json* member(const Json& object, std::string_view key) {
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

std::int64_t integerIn(const Json& value, const std::string& where, std::int64_t low,
                       std::int64_t high) {
  const auto number = integralNumber(value);
  if (!number) fail(where, "must be an integer");
  if (*number < low || *number > high) {
    fail(where, "must lie in " + std::to_string(low) + ".." + std::to_string(high));
  }
  return *number;
}

bool boolValue(const Json& value, const std::string& where) {
  if (!value.is_boolean()) fail(where, "must be true or false");
  return value.get<bool>();
}

std::string stringValue(const Json& value, const std::string& where) {
  if (!value.is_string()) fail(where, "must be a string");
  return value.get<std::string>();
}

const Json& arrayValue(const Json& value, const std::string& where, std::size_t maximum) {
  if (!value.is_array()) fail(where, "must be an array");
  if (value.size() > maximum) {
    fail(where, "holds more than " + std::to_string(maximum) + " entries");
  }
  return value;
}

}  // namespace orvix::platform::simulated::scenario_reading
