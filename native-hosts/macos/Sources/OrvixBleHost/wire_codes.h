#pragma once

#include <string_view>

namespace orvix::ble_host {

// The codes and reasons the host writes, as types: the desktop application compares the strings,
// so each is spelt exactly once, in the function that names it on the wire.

// Whom a "host.error" concerns.
enum class ErrorScope { command, adapter, connection };

constexpr std::string_view wireName(ErrorScope scope) {
  switch (scope) {
    case ErrorScope::adapter:
      return "adapter";
    case ErrorScope::connection:
      return "connection";
    case ErrorScope::command:
      break;
  }
  return "command";
}

// The "code" of a "host.error".
enum class HostError {
  // The command line itself.
  invalidCommand,
  unsupportedCommand,
  invalidPermissionRefresh,
  invalidScan,
  scanMismatch,
  invalidConnect,
  connectionMismatch,
  invalidNotificationPolicy,
  // What a valid command found.
  adapterNotAuthorized,
  connectionBusy,
  candidateNotFound,
  adapterNotPoweredOn,
  // The link and its GATT setup.
  primaryServiceMissing,
  characteristicDiscoveryFailed,
  requiredCharacteristicMissing,
  subscriptionFailed,
  gattSetupTimedOut,
  subscriptionStateLost,
  notificationFailed,
  disconnectNotConfirmed,
  // Lines that could not be queued.
  outputQueueFull,
};

constexpr std::string_view wireCode(HostError error) {
  switch (error) {
    case HostError::invalidCommand:
      return "INVALID_COMMAND";
    case HostError::unsupportedCommand:
      return "UNSUPPORTED_COMMAND";
    case HostError::invalidPermissionRefresh:
      return "INVALID_PERMISSION_REFRESH";
    case HostError::invalidScan:
      return "INVALID_SCAN";
    case HostError::scanMismatch:
      return "SCAN_MISMATCH";
    case HostError::invalidConnect:
      return "INVALID_CONNECT";
    case HostError::connectionMismatch:
      return "CONNECTION_MISMATCH";
    case HostError::invalidNotificationPolicy:
      return "INVALID_NOTIFICATION_POLICY";
    case HostError::adapterNotAuthorized:
      return "ADAPTER_NOT_AUTHORIZED";
    case HostError::connectionBusy:
      return "CONNECTION_BUSY";
    case HostError::candidateNotFound:
      return "CANDIDATE_NOT_FOUND";
    case HostError::adapterNotPoweredOn:
      return "ADAPTER_NOT_POWERED_ON";
    case HostError::primaryServiceMissing:
      return "PRIMARY_SERVICE_MISSING";
    case HostError::characteristicDiscoveryFailed:
      return "CHARACTERISTIC_DISCOVERY_FAILED";
    case HostError::requiredCharacteristicMissing:
      return "REQUIRED_CHARACTERISTIC_MISSING";
    case HostError::subscriptionFailed:
      return "SUBSCRIPTION_FAILED";
    case HostError::gattSetupTimedOut:
      return "GATT_SETUP_TIMEOUT";
    case HostError::subscriptionStateLost:
      return "SUBSCRIPTION_STATE_LOST";
    case HostError::notificationFailed:
      return "NOTIFICATION_FAILED";
    case HostError::disconnectNotConfirmed:
      return "FAILED";
    case HostError::outputQueueFull:
      break;
  }
  return "OUTPUT_QUEUE_FULL";
}

// Why a "write" was refused or did not complete: the "code" of its "write.failed".
enum class WriteFailure { invalidRequest, unsupportedWrite, queueFull, disconnected, gattFailure };

constexpr std::string_view wireCode(WriteFailure failure) {
  switch (failure) {
    case WriteFailure::unsupportedWrite:
      return "UNSUPPORTED_WRITE";
    case WriteFailure::queueFull:
      return "QUEUE_FULL";
    case WriteFailure::disconnected:
      return "DISCONNECTED";
    case WriteFailure::gattFailure:
      return "GATT_FAILURE";
    case WriteFailure::invalidRequest:
      break;
  }
  return "INVALID_REQUEST";
}

// Why a connection ended: the "reason" of its "disconnected".
enum class DisconnectReason {
  unknown,             // torn down because another "connect" came while it was current
  connectFailed,       // never connected, or the attempt ran out of time
  gattIncomplete,      // connected, but the recorder's GATT setup did not finish
  linkLoss,            // ended after "gatt.ready" without the host asking
  manual,              // "disconnect" or shutdown
  adapterUnavailable,  // the adapter left the powered-on state
};

constexpr std::string_view wireName(DisconnectReason reason) {
  switch (reason) {
    case DisconnectReason::connectFailed:
      return "connect-failed";
    case DisconnectReason::gattIncomplete:
      return "gatt-incomplete";
    case DisconnectReason::linkLoss:
      return "link-loss";
    case DisconnectReason::manual:
      return "manual";
    case DisconnectReason::adapterUnavailable:
      return "adapter-unavailable";
    case DisconnectReason::unknown:
      break;
  }
  return "unknown";
}

// Why a scan ended: the "reason" of its "scan.completed".
enum class ScanEnd { cancelled, timeout };

constexpr std::string_view wireName(ScanEnd end) {
  switch (end) {
    case ScanEnd::timeout:
      return "timeout";
    case ScanEnd::cancelled:
      break;
  }
  return "cancelled";
}

}  // namespace orvix::ble_host
