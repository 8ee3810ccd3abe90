#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace orvix::update_host {

// "Wed, 09 Dec 2026 05:04:35 GMT": English names and GMT whatever the machine's locale and time
// zone, because the gateway signs and compares this exact text.
std::string httpDate(std::chrono::system_clock::time_point time);

// Whole milliseconds since 1970-01-01 UTC, the gateway's X-Ca-Timestamp.
std::int64_t millisecondsSinceEpoch(std::chrono::system_clock::time_point time);

}  // namespace orvix::update_host
