#include "OrvixBleHost/notifications.h"

#include "common/base64.h"

namespace orvix::ble_host {

NotificationBatcher::NotificationBatcher(RunLoop& mainLoop, EmitEvent emit)
    : mainLoop_(mainLoop), emit_(std::move(emit)), delay_(notificationBatchDelay) {
  bytes_.reserve(maximumNotificationBatchBytes);
  lengths_.reserve(maximumNotificationBatchPackets);
}

NotificationBatcher::~NotificationBatcher() {
  // The timer holds this object only as long as it lives.
  if (timer_) timer_->cancel();
}

void NotificationBatcher::commandValue(const std::string& connectionId,
                                       std::span<const std::uint8_t> value) {
  flush();  // stream data that came first leaves first
  emit_("notification", {{"connectionId", connectionId},
                         {"channel", commandChannel},
                         {"dataBase64", base64Encode(value)}});
}

void NotificationBatcher::streamValue(const std::string& connectionId,
                                      std::span<const std::uint8_t> value) {
  if (connectionId_ && *connectionId_ != connectionId) flush();
  if (bytes_.size() + value.size() > maximumNotificationBatchBytes ||
      lengths_.size() >= maximumNotificationBatchPackets) {
    flush();
  }
  if (!connectionId_) connectionId_ = connectionId;
  bytes_.insert(bytes_.end(), value.begin(), value.end());
  lengths_.push_back(value.size());
  if (lengths_.size() >= maximumNotificationBatchPackets) return flush();
  // Not restarted by later packets: the first packet of a batch waits at most one delay.
  if (!timer_) {
    timer_ = mainLoop_.scheduleAfter(delay_, [this] {
      timer_.reset();
      flush();
    });
  }
}

void NotificationBatcher::flush() {
  if (timer_) {
    timer_->cancel();
    timer_.reset();
  }
  if (connectionId_ && !lengths_.empty()) {
    if (lengths_.size() == 1) {
      emit_("notification", {{"connectionId", *connectionId_},
                             {"channel", streamChannel},
                             {"dataBase64", base64Encode(bytes_)}});
    } else {
      emit_("notification.batch", {{"connectionId", *connectionId_},
                                   {"channel", streamChannel},
                                   {"dataBase64", base64Encode(bytes_)},
                                   {"packetLengths", lengths_}});
    }
  }
  // The storage is kept for the next batch, unless a packet beyond the bound stretched it.
  if (bytes_.capacity() > maximumNotificationBatchBytes) {
    bytes_ = {};
    bytes_.reserve(maximumNotificationBatchBytes);
  }
  bytes_.clear();
  lengths_.clear();
  connectionId_.reset();
}

void NotificationBatcher::setDelay(Duration delay) {
  if (delay == delay_) return;
  flush();  // the open batch was promised the old delay
  delay_ = delay;
}

}  // namespace orvix::ble_host
