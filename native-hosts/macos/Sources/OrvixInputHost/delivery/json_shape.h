#pragma once

#include <initializer_list>
#include <string_view>

#include "common/json_wire.h"

namespace orvix::input_host {

// True when the object's keys are exactly `keys`: a missing or an extra key fails.
inline bool hasExactKeys(const Json& object, std::initializer_list<std::string_view> keys) {
  if (!object.is_object() || object.size() != keys.size()) return false;
  for (auto key : keys) {
    if (!object.contains(key)) return false;
  }
  return true;
}

}  // namespace orvix::input_host
