#include "OrvixBleHost/write_queue.h"

#include <algorithm>

#include "OrvixBleHost/ble_host_constants.h"

namespace orvix::ble_host {

WriteQueue::WriteQueue(EmitEvent emit, std::function<WriteLink()> currentLink)
    : emit_(std::move(emit)), currentLink_(std::move(currentLink)) {}

void WriteQueue::submit(const Json& command, const std::string& requestId,
                        const std::optional<std::string>& connectionId) {
  // A refusal names the current connection, or none: the command's own may be what was wrong.
  const auto refuse = [&](WriteFailure code) {
    emitFailed(connectionId.value_or("unconnected"), requestId, code);
  };
  auto checked = checkWrite(command, requestId, connectionId);
  if (const auto* refusal = std::get_if<WriteFailure>(&checked)) return refuse(*refusal);
  if (accepted() >= maximumPendingWrites) return refuse(WriteFailure::queueFull);
  queue_.push_back(std::move(std::get<PendingWrite>(checked)));
  startNextIfPossible();
}

void WriteQueue::confirmationArrived(bool failed) {
  // Only an active write with response waits for a confirmation (it moves on by nothing else);
  // one that arrives while none waits belonged to a write that already ended.
  if (!active_ || active_->type != platform::WriteType::withResponse) return;
  if (failed) return failActive(WriteFailure::gattFailure);
  continueActive();
}

void WriteQueue::readyToSendWithoutResponse() {
  // Readiness paces writes without response only: a write with response moves on by its
  // confirmations alone.
  if (active_ && active_->type == platform::WriteType::withoutResponse) continueActive();
}

void WriteQueue::startNextIfPossible() {
  if (active_ || queue_.empty()) return;
  active_ = std::move(queue_.front());
  queue_.pop_front();
  continueActive();
}

void WriteQueue::continueActive() {
  // A loop rather than recursion: a write without response may hand over many pieces at once.
  for (;;) {
    // Held across the platform call, which may reach the host that clears its link.
    const WriteLink link = currentLink_();
    if (!active_ || !link.peripheral || !link.rx ||
        link.peripheral->state() != platform::PeripheralState::connected) {
      return failAll(WriteFailure::disconnected);
    }
    PendingWrite& write = *active_;
    const bool withResponse = write.type == platform::WriteType::withResponse;
    std::size_t pieceSize = link.peripheral->maximumWriteValueLength(write.type);
    if (withResponse) {
      const std::size_t withoutResponse =
          link.peripheral->maximumWriteValueLength(platform::WriteType::withoutResponse);
      if (withoutResponse > 0) pieceSize = std::min(pieceSize, withoutResponse);
    }
    if (pieceSize < 1) return failActive(WriteFailure::unsupportedWrite);

    const auto& frame = write.frames[write.frameIndex];
    if (write.offset < frame.size()) {
      if (!withResponse && !link.peripheral->canSendWriteWithoutResponse()) return;  // until ready
      const std::size_t start = write.offset;
      const std::size_t end = std::min(start + pieceSize, frame.size());
      write.offset = end;
      link.peripheral->writeValue(std::span(frame).subspan(start, end - start), *link.rx,
                                  write.type);
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
    PendingWrite done = std::move(*active_);
    active_.reset();
    emit_("write.completed", {{"connectionId", done.connectionId},
                              {"requestId", done.requestId},
                              {"writtenBytes", written}});
    if (queue_.empty()) return;
    active_ = std::move(queue_.front());
    queue_.pop_front();
  }
}

void WriteQueue::failActive(WriteFailure code) {
  if (!active_) return;
  PendingWrite failed = std::move(*active_);
  active_.reset();
  emitFailed(failed.connectionId, failed.requestId, code);
  startNextIfPossible();
}

void WriteQueue::failAll(WriteFailure code) {
  std::deque<PendingWrite> failing;
  if (active_) failing.push_back(std::move(*active_));
  active_.reset();
  for (auto& queued : queue_) failing.push_back(std::move(queued));
  queue_.clear();
  for (const auto& write : failing) emitFailed(write.connectionId, write.requestId, code);
}

void WriteQueue::emitFailed(const std::string& connectionId, const std::string& requestId,
                            WriteFailure code) {
  emit_("write.failed",
        {{"connectionId", connectionId}, {"requestId", requestId}, {"code", wireCode(code)}});
}

}  // namespace orvix::ble_host
