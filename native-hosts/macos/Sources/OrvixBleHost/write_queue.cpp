// The write queue: one write at a time on the rx characteristic, each frame cut in place into
// pieces that fit the link, writes without response pushed while the platform takes them and
// writes with response paced by the device's confirmations. Every accepted write ends in
// exactly one "write.completed" or "write.failed".
#include <algorithm>

#include "OrvixBleHost/ble_host.h"
#include "OrvixBleHost/ble_host_constants.h"

namespace orvix::ble_host {

void BleHost::write(const Json& command, const std::string& requestId) {
  auto checked = checkWrite(command, requestId, connectionId_);
  if (const auto* refusal = std::get_if<WriteFailure>(&checked)) {
    return emitWriteFailed(requestId, *refusal);
  }
  if (writeQueue_.size() + (activeWrite_ ? 1 : 0) >= maximumPendingWrites) {
    return emitWriteFailed(requestId, WriteFailure::queueFull);
  }
  writeQueue_.push_back(std::move(std::get<PendingWrite>(checked)));
  startNextWriteIfPossible();
}

void BleHost::emitWriteFailed(const std::string& requestId, WriteFailure code) {
  emit("write.failed", {{"connectionId", connectionId_.value_or("unconnected")},
                        {"requestId", requestId},
                        {"code", wireCode(code)}});
}

void BleHost::startNextWriteIfPossible() {
  if (activeWrite_ || writeQueue_.empty()) return;
  activeWrite_ = std::move(writeQueue_.front());
  writeQueue_.pop_front();
  continueActiveWrite();
}

void BleHost::continueActiveWrite() {
  // A loop rather than recursion: a write without response may hand over many pieces at once.
  for (;;) {
    if (!activeWrite_ || !peripheral_ || !rxCharacteristic_ ||
        peripheral_->state() != platform::PeripheralState::connected) {
      return failAllWrites(WriteFailure::disconnected);
    }
    PendingWrite& write = *activeWrite_;
    const bool withResponse = write.type == platform::WriteType::withResponse;
    std::size_t pieceSize = peripheral_->maximumWriteValueLength(write.type);
    if (withResponse) {
      const std::size_t withoutResponse =
          peripheral_->maximumWriteValueLength(platform::WriteType::withoutResponse);
      if (withoutResponse > 0) pieceSize = std::min(pieceSize, withoutResponse);
    }
    if (pieceSize < 1) return completeActiveWriteAsFailure(WriteFailure::unsupportedWrite);

    const auto& frame = write.frames[write.frameIndex];
    if (write.offset < frame.size()) {
      if (!withResponse && !peripheral_->canSendWriteWithoutResponse()) return;  // until ready
      const std::size_t start = write.offset;
      const std::size_t end = std::min(start + pieceSize, frame.size());
      write.offset = end;
      // The platform may call back into the host; keep what it needs alive across the call.
      const auto peripheral = peripheral_;
      const auto rx = rxCharacteristic_;
      peripheral->writeValue(std::span(frame).subspan(start, end - start), *rx, write.type);
      if (withResponse) return;  // the confirmation continues
      continue;
    }
    if (write.frameIndex + 1 < write.frames.size()) {
      // Each frame is its own platform write: frames are never merged.
      ++write.frameIndex;
      write.offset = 0;
      continue;
    }
    std::size_t written = 0;
    for (const auto& f : write.frames) written += f.size();
    PendingWrite done = std::move(*activeWrite_);
    activeWrite_.reset();
    emit("write.completed", {{"connectionId", done.connectionId},
                             {"requestId", done.requestId},
                             {"writtenBytes", written}});
    if (writeQueue_.empty()) return;
    activeWrite_ = std::move(writeQueue_.front());
    writeQueue_.pop_front();
  }
}

void BleHost::completeActiveWriteAsFailure(WriteFailure code) {
  if (!activeWrite_) return;
  PendingWrite failed = std::move(*activeWrite_);
  activeWrite_.reset();
  emit("write.failed", {{"connectionId", failed.connectionId},
                        {"requestId", failed.requestId},
                        {"code", wireCode(code)}});
  startNextWriteIfPossible();
}

void BleHost::failAllWrites(WriteFailure code) {
  std::deque<PendingWrite> failing;
  if (activeWrite_) failing.push_back(std::move(*activeWrite_));
  activeWrite_.reset();
  for (auto& queued : writeQueue_) failing.push_back(std::move(queued));
  writeQueue_.clear();
  for (const auto& write : failing) {
    emit("write.failed", {{"connectionId", write.connectionId},
                          {"requestId", write.requestId},
                          {"code", wireCode(code)}});
  }
}

void BleHost::didWriteValue(platform::Peripheral& peripheral,
                            platform::Characteristic& characteristic,
                            const std::optional<platform::BluetoothError>& error) {
  if (!isCurrentPeripheral(peripheral) || characteristic.uuid() != rxUUID) return;
  // Only an active write with response waits for a confirmation (it moves on by nothing else);
  // one that arrives while none waits belonged to a write that already ended.
  if (!activeWrite_ || activeWrite_->type != platform::WriteType::withResponse) return;
  if (error) return completeActiveWriteAsFailure(WriteFailure::gattFailure);
  continueActiveWrite();
}

void BleHost::isReadyToSendWriteWithoutResponse(platform::Peripheral& /*peripheral*/) {
  // The engine checks the current peripheral itself. Readiness paces writes without response
  // only: a write with response moves on by its confirmations alone.
  if (activeWrite_ && activeWrite_->type == platform::WriteType::withoutResponse) {
    continueActiveWrite();
  }
}

}  // namespace orvix::ble_host
