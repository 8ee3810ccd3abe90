// The life of a connection: "connect", the attempt and disconnection timers, and the one place
// where a connection ends, so that every connection the desktop application named ends with
// exactly one "disconnected".
#include "OrvixBleHost/ble_host.h"
#include "OrvixBleHost/ble_host_constants.h"

namespace orvix::ble_host {

void BleHost::connect(const Connect& request, const std::string& requestId) {
  if (!central_) {
    emitAdapterState(platform::CentralState::unauthorized);
    return emitCommandError(requestId, HostError::adapterNotAuthorized);
  }
  if (peripheral_) {
    // The busy connection is torn down with reason "unknown"; the new one is not started.
    emitCommandError(requestId, HostError::connectionBusy);
    disconnectReason_ = DisconnectReason::unknown;
    reconnectableDisconnect_ = true;
    return disconnectCurrent();
  }
  // Held before the scan ends, whatever that clears.
  const auto chosen = scan_.candidate(request.candidateId);
  if (!chosen) return emitCommandError(requestId, HostError::candidateNotFound);
  scan_.stop(ScanEnd::cancelled);
  clearGattState();

  peripheral_ = chosen;
  connectionId_ = request.connectionId;
  candidateId_ = request.candidateId;
  // Until "gatt.ready" any end of this attempt is a failed connection.
  disconnectReason_ = DisconnectReason::connectFailed;
  reconnectableDisconnect_ = true;
  peripheral_->setDelegate(this);
  // Waiting for a device to come into range has no time limit.
  if (!request.waitForAvailability) beginConnectionAttemptTimeout();
  central_->connect(peripheral_);
}

void BleHost::disconnect(const std::string& requestId, const Json& command) {
  const auto connectionId =
      boundedString(memberOf(command, "connectionId"), maximumIdentifierCharacters);
  if (!connectionId || connectionId != connectionId_) {
    return emitCommandError(requestId, HostError::connectionMismatch);
  }
  disconnectReason_ = DisconnectReason::manual;
  reconnectableDisconnect_ = false;
  disconnectCurrent();
}

void BleHost::beginConnectionAttemptTimeout() {
  connectionAttemptTimer_.start(mainLoop_, connectionAttemptTimeout, [this] {
    if (gattReadyEmitted_ || !peripheral_) return;
    disconnectReason_ = peripheral_->state() == platform::PeripheralState::connected
                            ? DisconnectReason::gattIncomplete
                            : DisconnectReason::connectFailed;
    reconnectableDisconnect_ = true;
    disconnectCurrent();
  });
}

void BleHost::disconnectCurrent() {
  writes_.failAll(WriteFailure::disconnected);
  connectionAttemptTimer_.clear();
  // A link being let go is not set up any further: its end keeps the reason it was given.
  gattSetupTimer_.clear();
  if (!peripheral_) return finishCurrentDisconnect(std::nullopt, std::nullopt);
  if (central_) central_->cancelPeripheralConnection(peripheral_);
  beginDisconnectFallback();
}

void BleHost::beginDisconnectFallback() {
  disconnectFallbackTimer_.start(mainLoop_, disconnectFallbackTimeout, [this] {
    if (!peripheral_ || peripheral_->state() == platform::PeripheralState::disconnected) {
      return finishCurrentDisconnect(std::nullopt, std::nullopt);
    }
    // The platform has not let go of the link; its disconnection callback still ends it.
    emitHostError(ErrorScope::connection, HostError::disconnectNotConfirmed);
  });
}

void BleHost::finishCurrentDisconnect(std::optional<DisconnectReason> reason,
                                      std::optional<bool> reconnectable) {
  disconnectFallbackTimer_.clear();
  // Stream data that arrived before the end is delivered before "disconnected".
  notifications_.flush();
  if (connectionId_) {
    emit("disconnected", {{"connectionId", *connectionId_},
                          {"reason", wireName(reason.value_or(disconnectReason_))},
                          {"reconnectable", reconnectable.value_or(reconnectableDisconnect_)}});
  }
  clearConnectionState();
  scan_.resumePending();
}

void BleHost::clearConnectionState() {
  connectionAttemptTimer_.clear();
  disconnectFallbackTimer_.clear();
  clearGattState();
  // Callbacks of a finished connection are not wanted, even ones already on their way.
  if (peripheral_) peripheral_->setDelegate(nullptr);
  peripheral_.reset();
  connectionId_.reset();
  candidateId_.reset();
}

void BleHost::clearGattState() {
  gattSetupTimer_.clear();
  notifications_.resetDelay();
  rxCharacteristic_.reset();
  commandCharacteristic_.reset();
  streamCharacteristic_.reset();
  subscribed_.clear();
  subscriptionQueue_.clear();
  subscriptionInFlight_.reset();
  gattReadyEmitted_ = false;
  writes_.failAll(WriteFailure::disconnected);
}

void BleHost::didConnect(platform::CentralManager& central,
                         const std::shared_ptr<platform::Peripheral>& peripheral) {
  if (!peripheral) return;
  if (isCentral(central) && isCurrentPeripheral(*peripheral) &&
      disconnectReason_ != DisconnectReason::manual && !disconnectFallbackTimer_.active()) {
    connectionAttemptTimer_.clear();
    peripheral_->setDelegate(this);
    return beginGattSetup();
  }
  // A link nobody waits for any more (a stray device, or one being let go) is not kept.
  central.cancelPeripheralConnection(peripheral);
}

void BleHost::didFailToConnect(platform::CentralManager& /*central*/,
                               const std::shared_ptr<platform::Peripheral>& peripheral,
                               const std::optional<platform::BluetoothError>& /*error*/) {
  if (peripheral && isCurrentPeripheral(*peripheral))
    finishCurrentDisconnect(DisconnectReason::connectFailed, true);
}

void BleHost::didDisconnect(platform::CentralManager& /*central*/,
                            const std::shared_ptr<platform::Peripheral>& peripheral,
                            const std::optional<platform::BluetoothError>& /*error*/) {
  // The platform's error says little; the stored reason says why the link ended.
  if (peripheral && isCurrentPeripheral(*peripheral)) {
    finishCurrentDisconnect(std::nullopt, std::nullopt);
  }
}

}  // namespace orvix::ble_host
