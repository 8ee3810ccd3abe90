#pragma once

#include <cstdint>
#include <span>

namespace orvix::update_host {

// The built-in configuration, masked: generated at build time from the JSON file named by the
// ORVIX_UPDATE_CONFIG cache variable, with a fresh random mask each time it is generated, so the
// clear text never appears in the program. unmaskConfiguration() combines the two.
std::span<const std::uint8_t> embeddedBytes();
std::span<const std::uint8_t> embeddedMask();

}  // namespace orvix::update_host
