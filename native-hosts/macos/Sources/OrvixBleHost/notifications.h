#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "OrvixBleHost/ble_host_constants.h"
#include "OrvixBleHost/event_queue.h"
#include "common/time/run_loop.h"

namespace orvix::ble_host {

// The recorder's notifications on their way to the desktop application. Command values go out
// one by one at once; stream values are gathered into batches of at most five packets and 12,000
// bytes, written at most one delay after the batch's first packet. Data always leaves in the
// order it arrived: a command value first writes the stream data that came before it.
//
// Main thread only: the values, the batch timer (on `mainLoop`) and the flushes the host asks
// for all run there.
class NotificationBatcher {
 public:
  NotificationBatcher(RunLoop& mainLoop, EmitEvent emit);
  ~NotificationBatcher();
  NotificationBatcher(const NotificationBatcher&) = delete;
  NotificationBatcher& operator=(const NotificationBatcher&) = delete;

  void commandValue(const std::string& connectionId, std::span<const std::uint8_t> value);
  void streamValue(const std::string& connectionId, std::span<const std::uint8_t> value);
  // Writes the open batch, if any, now.
  void flush();

  // A new delay applies from the next batch: the open one, promised the old delay, is written
  // first. Setting the delay it already has changes nothing.
  void setDelay(Duration delay);
  // Back to the default delay, for a new connection.
  void resetDelay() { delay_ = notificationBatchDelay; }

 private:
  RunLoop& mainLoop_;
  EmitEvent emit_;
  Duration delay_;
  // The open batch: its packets end to end, their lengths, and whose they are.
  std::vector<std::uint8_t> bytes_;
  std::vector<std::size_t> lengths_;
  std::optional<std::string> connectionId_;
  // Present from the first packet of a batch until it is written.
  std::optional<TimerHandle> timer_;
};

}  // namespace orvix::ble_host
