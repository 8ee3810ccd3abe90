#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "common/json_wire.h"

namespace orvix::platform::simulated::scenario_reading {

// Small strict readers shared by the scenario parsers of every simulated world. Each names the
// path of the value it refuses ("applications[0].windows[1].title: must be a string").

// A fault in a scenario file, with the path of the value it was found at.
struct Fault {
  std::string message;
};

[[noreturn]] void fail(const std::string& where, const std::string& what);

std::string at(const std::string& where, std::string_view key);
std::string at(const std::string& where, std::size_t index);

// An object whose keys all come from `allowed`.
void requireKeys(const Json& object, const std::string& where,
                 std::initializer_list<std::string_view> allowed);
const Json* member(const Json& object, std::string_view key);

std::int64_t integerIn(const Json& value, const std::string& where, std::int64_t low,
                       std::int64_t high);
bool boolValue(const Json& value, const std::string& where);
std::string stringValue(const Json& value, const std::string& where);
const Json& arrayValue(const Json& value, const std::string& where,
                       std::size_t maximum = SIZE_MAX);

}  // namespace orvix::platform::simulated::scenario_reading
