#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "OrvixBleHost/command_checks.h"
#include "OrvixBleHost/event_queue.h"
#include "OrvixBleHost/wire_codes.h"
#include "platform/bluetooth.h"

namespace orvix::ble_host {

// The link a write goes out on. Either may be missing: before GATT setup found the rx
// characteristic, and once the connection is gone.
struct WriteLink {
  std::shared_ptr<platform::Peripheral> peripheral;
  std::shared_ptr<platform::Characteristic> rx;
};

// The write queue: one write at a time on the rx characteristic, each frame cut in place into
// pieces that fit the link, writes without response pushed while the platform takes them and
// writes with response paced by the device's confirmations. Every "write" command ends in
// exactly one "write.completed" or "write.failed".
//
// Main thread only, like the host that owns it; the link is read afresh before every piece,
// because the connection may end or change between two pieces.
class WriteQueue {
 public:
  WriteQueue(EmitEvent emit, std::function<WriteLink()> currentLink);
  WriteQueue(const WriteQueue&) = delete;
  WriteQueue& operator=(const WriteQueue&) = delete;

  // A "write" command for the connection named `connectionId` (absent while none is current):
  // refused at once with one "write.failed", or accepted and started as soon as it can be.
  void submit(const Json& command, const std::string& requestId,
              const std::optional<std::string>& connectionId);
  // The device's confirmation of a write with response on the rx characteristic.
  void confirmationArrived(bool failed);
  // The platform takes writes without response again.
  void readyToSendWithoutResponse();
  // The active write, then every queued one in order, fail with `code`.
  void failAll(WriteFailure code);

  // Accepted writes not finished yet, the active one included.
  std::size_t accepted() const { return queue_.size() + (active_ ? 1 : 0); }

 private:
  void startNextIfPossible();
  void continueActive();
  void failActive(WriteFailure code);
  void emitFailed(const std::string& connectionId, const std::string& requestId, WriteFailure code);

  EmitEvent emit_;
  std::function<WriteLink()> currentLink_;
  std::deque<PendingWrite> queue_;
  std::optional<PendingWrite> active_;
};

}  // namespace orvix::ble_host
