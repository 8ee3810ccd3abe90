#pragma once

#include <cmath>

#include "common/json_wire.h"

namespace orvix::capture {

// A level as the desktop application's JSON reader expects it: whole values (silence, full
// scale) as integers, everything else as a number with a fraction.
inline Json levelNumber(double value) {
  if (value == std::floor(value) && std::fabs(value) < 1e15) return static_cast<long long>(value);
  return value;
}

}  // namespace orvix::capture
