#pragma once

#include <span>
#include <string>
#include <string_view>

#include "common/bounded_line_reader.h"
#include "tools/update-host/failure.h"
#include "tools/update-host/update_check.h"

namespace orvix::update_host {

// The one-line answer for a failure, e.g. {"failure":"NETWORK"}.
std::string failureAnswer(Failure failure);

// One run of the program: refuses any argument before reading, reads at most 4,097 bytes of
// request, decodes the built-in configuration text, checks, and returns the exact bytes to print
// (no trailing newline). Never throws: whatever goes wrong becomes a failure answer.
std::string runUpdateHost(std::span<const std::string_view> arguments, ByteSource& input,
                          std::string_view configurationText, GatewayAccess& access);

}  // namespace orvix::update_host
