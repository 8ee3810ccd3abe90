#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "OrvixBleHost/wire_codes.h"
#include "common/json_wire.h"
#include "common/time/time_types.h"
#include "platform/bluetooth.h"

namespace orvix::ble_host {

// The value rules of the command table, each in one place. A check answers the command's values
// or absent; the host turns absent into the command's code.

// The value when it is a non-empty string of at most `maximum` user-perceived characters.
std::optional<std::string> boundedString(const Json* value, std::size_t maximum);

// The member `key` of `object`, or null when missing.
const Json* memberOf(const Json& object, std::string_view key);

struct ScanStart {
  std::string scanId;
  Duration timeout{};
  std::optional<std::string> preferredCandidateId;
  bool waitForAvailability = false;
};

struct Connect {
  std::string candidateId;
  std::string connectionId;
  bool waitForAvailability = false;
};

struct NotificationPolicy {
  std::string connectionId;
  Duration maximumDelay{};
};

// "requestAuthorization" of a "permission.refresh" of exactly four keys.
std::optional<bool> checkPermissionRefresh(const Json& command);
std::optional<ScanStart> checkScanStart(const Json& command);
std::optional<Connect> checkConnect(const Json& command);
std::optional<NotificationPolicy> checkNotificationConfigure(const Json& command);

// One write the desktop application asked for, split into the frames that go out separately.
struct PendingWrite {
  std::string requestId;
  std::string connectionId;
  platform::WriteType type = platform::WriteType::withResponse;
  std::vector<std::vector<std::uint8_t>> frames;
  std::size_t frameIndex = 0;
  std::size_t offset = 0;
};

// The value rules of "write" in their order; the first that fails gives the refusal. The queue
// bound is the caller's: it depends on the queue.
std::variant<PendingWrite, WriteFailure> checkWrite(
    const Json& command, const std::string& requestId,
    const std::optional<std::string>& currentConnectionId);

}  // namespace orvix::ble_host
