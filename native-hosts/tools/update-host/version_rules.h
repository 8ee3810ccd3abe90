#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orvix::update_host {

// The gateway identifies desktop builds by one number, major × 10000 + minor × 100 + patch,
// so "2.3.4" becomes "20304". Absent unless the text is exactly
// ^(0|[1-9][0-9]*)\.(0|[1-9][0-9]*)\.[0-9]{1,2}$ with major below 65536 and minor below 100.
std::optional<std::string> desktopClientVersion(std::string_view currentVersion);

// The desktop application's version as the firmware service expects it: one to four
// dot-separated digit runs (^[0-9]+(\.[0-9]+){0,3}$), passed on as given.
std::optional<std::string> firmwareClientVersion(std::string_view clientVersion);

// The device reports firmware versions in assorted shapes ("1.2.3", "V1.0_b7"); the service
// wants only their digits in order ("123", "107"). Absent when there is no digit at all.
std::optional<std::string> firmwareRomVersion(std::string_view currentVersion);

}  // namespace orvix::update_host
