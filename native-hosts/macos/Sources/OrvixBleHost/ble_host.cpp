#include "OrvixBleHost/ble_host.h"

#include "OrvixBleHost/ble_host_constants.h"
#include "common/event_line.h"
#include "common/platform_name.h"

namespace orvix::ble_host {

BleHost::BleHost(platform::Bluetooth& bluetooth, RunLoop& mainLoop, EventQueue& output,
                 std::function<void(int)> exitProcess)
    : bluetooth_(bluetooth),
      mainLoop_(mainLoop),
      output_(output),
      exitProcess_(std::move(exitProcess)),
      scan_(mainLoop, *this),
      writes_(emitter(), [this] { return writeLink(); }),
      notifications_(mainLoop, emitter()) {}

BleHost::~BleHost() {
  // A released manager or peripheral must not call back; the units cancel their own timers.
  if (peripheral_) peripheral_->setDelegate(nullptr);
  if (central_) central_->setDelegate(nullptr);
}

void BleHost::start() {
  emit("host.ready", {{"platform", platformName()}, {"hostBuild", hostBuild}});
  refreshPermission(false);
}

bool BleHost::emit(std::string_view event, Json fields) {
  auto line = eventLine(makeEvent(schemaVersion, event, std::move(fields)));
  if (!line) return false;  // not representable as JSON: dropped without a report
  output_.enqueue(std::move(*line));
  return true;
}

void BleHost::emitCommandError(const std::string& requestId, HostError code) {
  emit("host.error", {{"scope", wireName(ErrorScope::command)},
                      {"code", wireCode(code)},
                      {"requestId", requestId}});
}

void BleHost::emitHostError(ErrorScope scope, HostError code) {
  emit("host.error", {{"scope", wireName(scope)}, {"code", wireCode(code)}});
}

void BleHost::emitInvalidCommand() {
  // Never echoes a request id, even a readable one: the envelope as a whole was not valid.
  emitHostError(ErrorScope::command, HostError::invalidCommand);
}

void BleHost::handleOverlongLine() { emitInvalidCommand(); }

void BleHost::handle(std::string_view line) {
  if (line.size() > maximumCommandBytes) return emitInvalidCommand();
  const auto command = parseJsonObject(line);
  if (!command) return emitInvalidCommand();
  if (integralMember(*command, "schemaVersion") != schemaVersion) return emitInvalidCommand();
  const std::string* name = stringMember(*command, "command");
  if (name == nullptr) return emitInvalidCommand();
  const auto requestId =
      boundedString(memberOf(*command, "requestId"), maximumIdentifierCharacters);
  if (!requestId) return emitInvalidCommand();
  dispatch(*command, *name, *requestId);
}

void BleHost::dispatch(const Json& command, const std::string& name, const std::string& requestId) {
  if (name == "permission.refresh") {
    const auto request = checkPermissionRefresh(command);
    if (!request) return emitCommandError(requestId, HostError::invalidPermissionRefresh);
    return refreshPermission(*request);
  }
  if (name == "scan.start") {
    const auto scan = checkScanStart(command);
    if (!scan) return emitCommandError(requestId, HostError::invalidScan);
    return scan_.start(*scan);
  }
  if (name == "scan.stop") {
    const auto scanId = boundedString(memberOf(command, "scanId"), maximumIdentifierCharacters);
    if (!scanId || scanId != scan_.activeScanId())
      return emitCommandError(requestId, HostError::scanMismatch);
    return scan_.stop(ScanEnd::cancelled);
  }
  if (name == "connect") {
    const auto request = checkConnect(command);
    if (!request) return emitCommandError(requestId, HostError::invalidConnect);
    return connect(*request, requestId);
  }
  if (name == "disconnect") return disconnect(requestId, command);
  if (name == "write") return writes_.submit(command, requestId, connectionId_);
  if (name == "notification.configure") {
    const auto policy = checkNotificationConfigure(command);
    if (!policy) return emitCommandError(requestId, HostError::invalidNotificationPolicy);
    return configureNotifications(*policy);
  }
  if (name == "shutdown") return shutdown(requestId);
  emitCommandError(requestId, HostError::unsupportedCommand);
}

void BleHost::shutdown(std::string_view /*requestId*/) {
  scan_.stop(ScanEnd::cancelled);
  disconnectReason_ = DisconnectReason::manual;
  reconnectableDisconnect_ = false;
  // Stream data already received still reaches the desktop application.
  notifications_.flush();
  // The link is dropped without waiting for the platform and without a "disconnected" event.
  if (peripheral_ && central_) central_->cancelPeripheralConnection(peripheral_);
  output_.closeAndFlush(shutdownFlushTimeout);
  // A system that keeps a gone client's links must still hear that cancellation.
  bluetooth_.finishBeforeExit(shutdownDisconnectTimeout);
  exitProcess_(0);
}

// --- Callbacks and commands the units carry out -------------------------------------------

void BleHost::didDiscover(platform::CentralManager& /*central*/,
                          const std::shared_ptr<platform::Peripheral>& peripheral,
                          const platform::AdvertisementData& advertisement, int rssi) {
  scan_.didDiscover(peripheral, advertisement, rssi);
}

void BleHost::didEndScan(platform::CentralManager& central,
                         const platform::BluetoothError& /*error*/) {
  if (&central != central_.get()) return;
  scan_.radioScanEnded();
}

void BleHost::didWriteValue(platform::Peripheral& peripheral,
                            platform::Characteristic& characteristic,
                            const std::optional<platform::BluetoothError>& error) {
  if (!isCurrentPeripheral(peripheral) || characteristic.uuid() != rxUUID) return;
  writes_.confirmationArrived(error.has_value());
}

void BleHost::isReadyToSendWriteWithoutResponse(platform::Peripheral& /*peripheral*/) {
  // The write queue checks the current link itself, before every piece.
  writes_.readyToSendWithoutResponse();
}

void BleHost::didUpdateValue(platform::Peripheral& peripheral,
                             platform::Characteristic& characteristic,
                             std::span<const std::uint8_t> value,
                             const std::optional<platform::BluetoothError>& error) {
  if (isCurrentPeripheral(peripheral) && !error && connectionId_) {
    const Uuid uuid = characteristic.uuid();
    if (uuid == commandUUID) return notifications_.commandValue(*connectionId_, value);
    if (uuid == streamUUID) return notifications_.streamValue(*connectionId_, value);
    return;
  }
  // The link stays up: one bad value is no reason to drop the recorder.
  if (error) emitHostError(ErrorScope::connection, HostError::notificationFailed);
}

void BleHost::configureNotifications(const NotificationPolicy& policy) {
  // A policy for another connection, or before the link is ready, is ignored without a word.
  if (policy.connectionId != connectionId_ || !gattReadyEmitted_) return;
  notifications_.setDelay(policy.maximumDelay);
}

}  // namespace orvix::ble_host
