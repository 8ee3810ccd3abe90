#pragma once

#include <optional>
#include <string>

#include "common/json_wire.h"

namespace orvix::update_host {

enum class UpdateKind { desktop, firmware };

// One validated request from the desktop application.
struct UpdateRequest {
  UpdateKind kind;
  std::string currentVersion;  // desktop: the installed app; firmware: the device's firmware
  std::string clientVersion;   // firmware: the desktop app's version; desktop: checked only
  std::string identity;        // the device or installation identifier, sent as deviceId
};

// The only request size the program reads.
inline constexpr std::size_t kMaximumRequestBytes = 4096;

// Absent unless the object holds exactly the four keys, all strings, within their rules: kind
// "desktop" or "firmware", versions of at most 64 characters, and an identity of 1 to 256 UTF-8
// bytes without white space or control characters.
std::optional<UpdateRequest> validateRequest(const Json& object);

// The text the request's kind selects in the configuration and at the gateway.
std::string kindName(UpdateKind kind);

}  // namespace orvix::update_host
