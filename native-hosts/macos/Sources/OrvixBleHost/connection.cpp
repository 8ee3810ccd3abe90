// The commands that name a connection. Their checks are complete; the link behind them (GATT
// setup, the write queue, notifications and their timers) is still to come, so no connection
// can be current yet and the commands that need one answer as the protocol says for that case.
#include "OrvixBleHost/ble_host.h"
#include "OrvixBleHost/ble_host_constants.h"

namespace orvix::ble_host {

void BleHost::connect(const Connect& request, const std::string& requestId) {
  if (!central_) {
    emitAdapterState("unauthorized");
    return emitCommandError(requestId, "ADAPTER_NOT_AUTHORIZED");
  }
  if (peripheral_) {
    // The busy connection is torn down with reason "unknown"; the new one is not started.
    emitCommandError(requestId, "CONNECTION_BUSY");
    disconnectReason_ = "unknown";
    reconnectableDisconnect_ = true;
    return finishCurrentDisconnect(std::nullopt, std::nullopt);
  }
  const auto identifier = parseUuid(request.candidateId);
  if (!identifier || !candidates_.contains(*identifier)) {
    return emitCommandError(requestId, "CANDIDATE_NOT_FOUND");
  }
  // A connection attempt ends the scan first, as it always will.
  stopScan("cancelled");
}

void BleHost::disconnect(const std::string& requestId, const Json& command) {
  const auto connectionId =
      boundedString(memberOf(command, "connectionId"), maximumIdentifierCharacters);
  if (!connectionId || connectionId != connectionId_) {
    return emitCommandError(requestId, "CONNECTION_MISMATCH");
  }
  disconnectReason_ = "manual";
  reconnectableDisconnect_ = false;
  finishCurrentDisconnect(std::nullopt, std::nullopt);
}

void BleHost::write(const Json& command, const std::string& requestId) {
  auto checked = checkWrite(command, requestId, connectionId_);
  if (const auto* refusal = std::get_if<WriteRefusal>(&checked)) {
    emit("write.failed", {{"connectionId", connectionId_.value_or("unconnected")},
                          {"requestId", requestId},
                          {"code", refusal->code}});
  }
  // An accepted write needs the current connection's id, and no connection can be current
  // until the link is built; the write queue arrives with it.
}

void BleHost::configureNotifications(const NotificationPolicy& policy) {
  // A policy for another connection, or before the link is ready, is ignored without a word.
  if (policy.connectionId != connectionId_ || !gattReadyEmitted_) return;
  streamNotificationDelaySeconds_ = static_cast<double>(policy.maximumDelayMs) / 1000.0;
}

void BleHost::finishCurrentDisconnect(const std::optional<std::string>& reason,
                                      std::optional<bool> reconnectable) {
  if (connectionId_) {
    emit("disconnected", {{"connectionId", *connectionId_},
                          {"reason", reason.value_or(disconnectReason_)},
                          {"reconnectable", reconnectable.value_or(reconnectableDisconnect_)}});
  }
  peripheral_.reset();
  connectionId_.reset();
  candidateId_.reset();
  gattReadyEmitted_ = false;
  streamNotificationDelaySeconds_ = notificationBatchDelaySeconds;
  resumePendingScanIfPossible();
}

void BleHost::didConnect(platform::CentralManager& /*central*/,
                         const std::shared_ptr<platform::Peripheral>& /*peripheral*/) {}

void BleHost::didFailToConnect(platform::CentralManager& /*central*/,
                               const std::shared_ptr<platform::Peripheral>& /*peripheral*/,
                               const std::optional<platform::BluetoothError>& /*error*/) {}

void BleHost::didDisconnect(platform::CentralManager& /*central*/,
                            const std::shared_ptr<platform::Peripheral>& /*peripheral*/,
                            const std::optional<platform::BluetoothError>& /*error*/) {}

}  // namespace orvix::ble_host
