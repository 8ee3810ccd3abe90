#pragma once

#include <cstdint>
#include <optional>

namespace orvix::sbc_decoder {

// The microphone pickup pattern. The numbers are both the record header's byte and the value the
// enhancement engine takes, so they never change.
enum class PickupMode : std::uint8_t {
  kOmnidirectional = 0,
  kDirectional = 2,
};

// A record header's mode byte; 1 and everything above 2 are not modes.
inline std::optional<PickupMode> pickupModeFromByte(std::uint8_t value) {
  if (value == 0) return PickupMode::kOmnidirectional;
  if (value == 2) return PickupMode::kDirectional;
  return std::nullopt;
}

}  // namespace orvix::sbc_decoder
