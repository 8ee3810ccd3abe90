// GATT setup of a connected recorder: its primary service, the three characteristics with the
// properties the host relies on, and the two subscriptions (command first, then stream), ending
// in "gatt.ready". Any failure before that ends the link; the same codes afterwards change
// nothing.
#include <algorithm>

#include "OrvixBleHost/ble_host.h"
#include "OrvixBleHost/ble_host_constants.h"
#include "OrvixBleHost/candidate_report.h"

namespace orvix::ble_host {

namespace {

bool hasProperty(const std::shared_ptr<platform::Characteristic>& characteristic,
                 std::uint32_t bits) {
  return characteristic && (characteristic->properties() & bits) != 0;
}

}  // namespace

void BleHost::beginGattSetup() {
  gattSetupTimer_.start(mainLoop_, gattSetupTimeout, [this] {
    if (!gattReadyEmitted_) failGatt(HostError::gattSetupTimedOut);
  });
  peripheral_->discoverServices({serviceUUID});
}

void BleHost::didDiscoverServices(platform::Peripheral& peripheral,
                                  const std::optional<platform::BluetoothError>& error) {
  if (!isCurrentPeripheral(peripheral)) return;
  if (!error) {
    for (const auto& service : peripheral.services()) {
      if (service && service->uuid() == serviceUUID) {
        return peripheral.discoverCharacteristics({rxUUID, commandUUID, streamUUID}, *service);
      }
    }
  }
  failGatt(HostError::primaryServiceMissing);
}

void BleHost::didDiscoverCharacteristics(platform::Peripheral& peripheral,
                                         platform::Service& service,
                                         const std::optional<platform::BluetoothError>& error) {
  if (!isCurrentPeripheral(peripheral)) return;
  if (error) return failGatt(HostError::characteristicDiscoveryFailed);
  for (const auto& characteristic : service.characteristics()) {
    if (!characteristic) continue;
    const Uuid uuid = characteristic->uuid();
    if (uuid == rxUUID) rxCharacteristic_ = characteristic;
    if (uuid == commandUUID) commandCharacteristic_ = characteristic;
    if (uuid == streamUUID) streamCharacteristic_ = characteristic;
  }
  constexpr std::uint32_t notifies = platform::kPropertyNotify | platform::kPropertyIndicate;
  if (!hasProperty(rxCharacteristic_, platform::kPropertyWrite) ||
      !hasProperty(commandCharacteristic_, notifies) ||
      !hasProperty(streamCharacteristic_, notifies)) {
    return failGatt(HostError::requiredCharacteristicMissing);
  }
  // Command first: the recorder answers on it as soon as the stream starts.
  subscriptionQueue_ = {commandCharacteristic_, streamCharacteristic_};
  subscriptionInFlight_.reset();
  subscribeNextRequiredCharacteristic();
}

void BleHost::subscribeNextRequiredCharacteristic() {
  if (subscriptionInFlight_) return;  // one at a time
  if (!peripheral_) return failGatt(HostError::subscriptionFailed);
  if (subscriptionQueue_.empty()) return emitGattReadyIfComplete();
  const auto next = subscriptionQueue_.front();
  subscriptionQueue_.erase(subscriptionQueue_.begin());
  subscriptionInFlight_ = next->uuid();
  peripheral_->setNotifyValue(true, *next);
}

void BleHost::didUpdateNotificationState(platform::Peripheral& peripheral,
                                         platform::Characteristic& characteristic,
                                         const std::optional<platform::BluetoothError>& error) {
  if (!isCurrentPeripheral(peripheral)) return;
  if (gattReadyEmitted_) {
    if (error || !characteristic.isNotifying()) {
      emitHostError(ErrorScope::command, HostError::subscriptionStateLost);
    }
    return;
  }
  if (error || !characteristic.isNotifying() || subscriptionInFlight_ != characteristic.uuid()) {
    return failGatt(HostError::subscriptionFailed);
  }
  subscribed_.insert(characteristic.uuid());
  subscriptionInFlight_.reset();
  subscribeNextRequiredCharacteristic();
}

void BleHost::emitGattReadyIfComplete() {
  // A link being let go is not announced, even when its last subscription was on its way.
  if (gattReadyEmitted_ || disconnectionInProgress() || !peripheral_ || !connectionId_ ||
      !candidateId_ || !rxCharacteristic_ || !subscribed_.contains(commandUUID) ||
      !subscribed_.contains(streamUUID)) {
    return;
  }
  gattReadyEmitted_ = true;
  connectionAttemptTimer_.clear();
  gattSetupTimer_.clear();
  // From here on an end the host did not ask for is a lost link.
  disconnectReason_ = DisconnectReason::linkLoss;
  // Read now: the lengths belong to this link and may differ on the next.
  const std::size_t withoutResponse =
      peripheral_->maximumWriteValueLength(platform::WriteType::withoutResponse);
  const std::size_t withResponse = std::min(
      peripheral_->maximumWriteValueLength(platform::WriteType::withResponse), withoutResponse);
  Json fields = {{"connectionId", *connectionId_},
                 {"candidateId", *candidateId_},
                 {"maximumWriteWithResponseBytes", withResponse},
                 {"maximumWriteWithoutResponseBytes", withoutResponse},
                 {"subscribedChannels", Json::array({commandChannel, streamChannel})}};
  if (auto name = normalizedName(peripheral_->name())) fields["nameHint"] = std::move(*name);
  emit("gatt.ready", std::move(fields));
}

void BleHost::failGatt(HostError code) {
  if (gattReadyEmitted_) {
    return emitHostError(ErrorScope::command, code);
  }
  // The link is already being let go, for the reason of whoever asked: a setup callback that was
  // on its way does not change that reason.
  if (disconnectionInProgress()) return;
  gattSetupTimer_.clear();
  emitHostError(ErrorScope::connection, code);
  disconnectReason_ = DisconnectReason::gattIncomplete;
  reconnectableDisconnect_ = true;
  disconnectCurrent();
}

}  // namespace orvix::ble_host
