#include "OrvixBleHost/command_checks.h"

#include "OrvixBleHost/ble_host_constants.h"
#include "common/base64.h"
#include "common/text_length.h"

namespace orvix::ble_host {

namespace {

// "absent, or a boolean": the default when missing, absent when present with another type.
std::optional<bool> optionalBoolean(const Json& object, std::string_view key) {
  const Json* value = memberOf(object, key);
  if (value == nullptr) return false;
  if (!value->is_boolean()) return std::nullopt;
  return value->get<bool>();
}

std::optional<std::vector<std::uint8_t>> decodedFrame(const Json* value, std::size_t maximumChars) {
  auto text = boundedString(value, maximumChars);
  if (!text) return std::nullopt;
  auto bytes = base64Decode(*text);
  if (!bytes || bytes->empty()) return std::nullopt;
  return bytes;
}

}  // namespace

const Json* memberOf(const Json& object, std::string_view key) {
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

std::optional<std::string> boundedString(const Json* value, std::size_t maximum) {
  if (value == nullptr || !value->is_string()) return std::nullopt;
  const auto& text = value->get_ref<const std::string&>();
  if (!isBoundedText(text, maximum)) return std::nullopt;
  return text;
}

std::optional<bool> checkPermissionRefresh(const Json& command) {
  const Json* value = memberOf(command, "requestAuthorization");
  if (command.size() != 4 || value == nullptr || !value->is_boolean()) return std::nullopt;
  return value->get<bool>();
}

std::optional<ScanStart> checkScanStart(const Json& command) {
  ScanStart scan;
  auto scanId = boundedString(memberOf(command, "scanId"), maximumIdentifierCharacters);
  // Zero stands for "missing or not an integer": it is outside the range either way. The range
  // is checked on the milliseconds, before anything large could overflow a conversion.
  const std::int64_t timeoutMs = integralMember(command, "timeoutMs").value_or(0);
  if (!scanId || timeoutMs < minimumScanTimeout / std::chrono::milliseconds(1) ||
      timeoutMs > maximumScanTimeout / std::chrono::milliseconds(1)) {
    return std::nullopt;
  }
  if (const Json* preferred = memberOf(command, "preferredCandidateId")) {
    scan.preferredCandidateId = boundedString(preferred, maximumCandidateIdCharacters);
    if (!scan.preferredCandidateId) return std::nullopt;
  }
  const auto wait = optionalBoolean(command, "waitForAvailability");
  if (!wait || (*wait && !scan.preferredCandidateId)) return std::nullopt;
  scan.scanId = std::move(*scanId);
  scan.timeout = std::chrono::milliseconds(timeoutMs);
  scan.waitForAvailability = *wait;
  return scan;
}

std::optional<Connect> checkConnect(const Json& command) {
  auto candidateId = boundedString(memberOf(command, "candidateId"), maximumCandidateIdCharacters);
  auto connectionId = boundedString(memberOf(command, "connectionId"), maximumIdentifierCharacters);
  const auto wait = optionalBoolean(command, "waitForAvailability");
  if (!candidateId || !connectionId || !wait) return std::nullopt;
  return Connect{std::move(*candidateId), std::move(*connectionId), *wait};
}

std::optional<NotificationPolicy> checkNotificationConfigure(const Json& command) {
  auto connectionId = boundedString(memberOf(command, "connectionId"), maximumIdentifierCharacters);
  const std::int64_t delayMs = integralMember(command, "maximumDelayMs").value_or(0);
  if (command.size() != 5 || !connectionId || (delayMs != 8 && delayMs != 40)) return std::nullopt;
  return NotificationPolicy{std::move(*connectionId), std::chrono::milliseconds(delayMs)};
}

std::variant<PendingWrite, WriteFailure> checkWrite(
    const Json& command, const std::string& requestId,
    const std::optional<std::string>& currentConnectionId) {
  constexpr WriteFailure invalid = WriteFailure::invalidRequest;
  PendingWrite write;
  write.requestId = requestId;
  auto connectionId = boundedString(memberOf(command, "connectionId"), maximumIdentifierCharacters);
  if (!connectionId || connectionId != currentConnectionId) return invalid;
  write.connectionId = std::move(*connectionId);

  auto first = decodedFrame(memberOf(command, "dataBase64"), maximumWriteBase64Characters);
  if (!first) return invalid;

  const std::string* writeType = stringMember(command, "writeType");
  if (writeType == nullptr) return invalid;
  if (*writeType == "with-response") {
    write.type = platform::WriteType::withResponse;
  } else if (*writeType == "without-response") {
    write.type = platform::WriteType::withoutResponse;
  } else {
    return WriteFailure::unsupportedWrite;
  }

  const std::size_t firstLength = first->size();
  write.frames.push_back(std::move(*first));
  if (const Json* additional = memberOf(command, "additionalFramesBase64")) {
    if (write.type != platform::WriteType::withoutResponse ||
        firstLength > maximumMultiFrameBytes || !additional->is_array() || additional->empty() ||
        additional->size() > maximumAdditionalFrames) {
      return invalid;
    }
    for (const Json& entry : *additional) {
      auto frame = decodedFrame(&entry, maximumAdditionalFrameCharacters);
      if (!frame || frame->size() > maximumMultiFrameBytes) return invalid;
      write.frames.push_back(std::move(*frame));
    }
  }
  return write;
}

}  // namespace orvix::ble_host
