#pragma once

#include <string>

namespace orvix::testing {

// Transcripts write "${platform}" where a host names the platform it was built for, so that one
// transcript holds on every platform. Answers `line` with each placeholder filled in.
std::string withPlatformName(std::string line);

}  // namespace orvix::testing
