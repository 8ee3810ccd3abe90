// Notifications: command values go out one by one at once; stream values are gathered into
// batches of at most five packets and 12,000 bytes, written at most one delay after the first
// packet. Data always leaves in the order it arrived.
#include "OrvixBleHost/ble_host.h"
#include "OrvixBleHost/ble_host_constants.h"
#include "common/base64.h"

namespace orvix::ble_host {

void BleHost::configureNotifications(const NotificationPolicy& policy) {
  // A policy for another connection, or before the link is ready, is ignored without a word.
  if (policy.connectionId != connectionId_ || !gattReadyEmitted_) return;
  if (policy.maximumDelay == streamNotificationDelay_) return;
  flushStreamNotifications();  // the open batch was promised the old delay
  streamNotificationDelay_ = policy.maximumDelay;
}

void BleHost::didUpdateValue(platform::Peripheral& peripheral,
                             platform::Characteristic& characteristic,
                             std::span<const std::uint8_t> value,
                             const std::optional<platform::BluetoothError>& error) {
  if (isCurrentPeripheral(peripheral) && !error && connectionId_) {
    const Uuid uuid = characteristic.uuid();
    if (uuid == commandUUID) return emitCommandNotification(*connectionId_, value);
    if (uuid == streamUUID) return addStreamPacket(*connectionId_, value);
    return;
  }
  // The link stays up: one bad value is no reason to drop the recorder.
  if (error) emitHostError(ErrorScope::connection, HostError::notificationFailed);
}

void BleHost::emitCommandNotification(const std::string& connectionId,
                                      std::span<const std::uint8_t> data) {
  flushStreamNotifications();  // stream data that came first leaves first
  emit("notification", {{"connectionId", connectionId},
                        {"channel", commandChannel},
                        {"dataBase64", base64Encode(data)}});
}

void BleHost::addStreamPacket(const std::string& connectionId,
                              std::span<const std::uint8_t> packet) {
  if (streamNotificationConnectionId_ && *streamNotificationConnectionId_ != connectionId) {
    flushStreamNotifications();
  }
  if (streamNotificationBytes_ + packet.size() > maximumNotificationBatchBytes ||
      streamNotificationPackets_.size() >= maximumNotificationBatchPackets) {
    flushStreamNotifications();
  }
  streamNotificationConnectionId_ = connectionId;
  streamNotificationBytes_ += packet.size();
  streamNotificationPackets_.emplace_back(packet.begin(), packet.end());
  if (streamNotificationPackets_.size() >= maximumNotificationBatchPackets) {
    return flushStreamNotifications();
  }
  // Not restarted by later packets: the first packet of a batch waits at most one delay.
  if (!streamNotificationTimer_) {
    streamNotificationTimer_ = mainLoop_.scheduleAfter(streamNotificationDelay_, [this] {
      streamNotificationTimer_.reset();
      flushStreamNotifications();
    });
  }
}

void BleHost::flushStreamNotifications() {
  if (streamNotificationTimer_) {
    streamNotificationTimer_->cancel();
    streamNotificationTimer_.reset();
  }
  if (streamNotificationConnectionId_ && !streamNotificationPackets_.empty()) {
    const std::string connectionId = std::move(*streamNotificationConnectionId_);
    if (streamNotificationPackets_.size() == 1) {
      emit("notification", {{"connectionId", connectionId},
                            {"channel", streamChannel},
                            {"dataBase64", base64Encode(streamNotificationPackets_.front())}});
    } else {
      std::vector<std::uint8_t> joined;
      joined.reserve(streamNotificationBytes_);  // one allocation of the full size
      Json lengths = Json::array();
      for (const auto& packet : streamNotificationPackets_) {
        joined.insert(joined.end(), packet.begin(), packet.end());
        lengths.push_back(packet.size());
      }
      emit("notification.batch", {{"connectionId", connectionId},
                                  {"channel", streamChannel},
                                  {"dataBase64", base64Encode(joined)},
                                  {"packetLengths", std::move(lengths)}});
    }
  }
  streamNotificationPackets_.clear();  // keeps its storage for the next batch
  streamNotificationBytes_ = 0;
  streamNotificationConnectionId_.reset();
}

}  // namespace orvix::ble_host
