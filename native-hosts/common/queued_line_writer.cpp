#include "common/queued_line_writer.h"

#include <chrono>
#include <cstddef>
#include <utility>

namespace orvix {

namespace {

// Consumed lines are cut off the front only once this many have piled up and they make at
// least half of the list, so trimming costs amortised constant time per line.
constexpr std::size_t kTrimThreshold = 128;

}  // namespace

QueuedLineWriter::QueuedLineWriter(LineSink& sink, std::size_t maximumLines,
                                   std::size_t maximumBytes, std::string overflowNotice)
    : sink_(sink),
      maximumLines_(maximumLines),
      maximumBytes_(maximumBytes),
      overflowNotice_(std::move(overflowNotice)) {}

QueuedLineWriter::~QueuedLineWriter() {
  {
    std::lock_guard guard(lock_);
    closing_ = true;
  }
  condition_.notify_all();
  if (thread_) thread_->join();
}

void QueuedLineWriter::start(TimeSource& threads, std::string threadName) {
  thread_ = threads.startThread(std::move(threadName), [this] { drain(); });
}

void QueuedLineWriter::enqueue(std::string line) {
  {
    std::lock_guard guard(lock_);
    const std::size_t pending = lines_.size() - head_;
    if (!closing_ && pending < maximumLines_ && line.size() <= maximumBytes_ - queuedBytes_) {
      queuedBytes_ += line.size();
      lines_.push_back(std::move(line));
    } else {
      overflowed_ = true;
    }
  }
  condition_.notify_one();
}

void QueuedLineWriter::drain() {
  for (;;) {
    std::string line;
    bool took = false;
    bool notice = false;
    bool last = false;
    {
      std::unique_lock guard(lock_);
      condition_.wait(guard, [this] { return head_ < lines_.size() || closing_ || overflowed_; });
      notice = overflowed_;
      overflowed_ = false;
      if (head_ < lines_.size()) {
        line = std::move(lines_[head_]);
        ++head_;
        queuedBytes_ -= line.size();
        took = true;
        if (head_ >= kTrimThreshold && 2 * head_ >= lines_.size()) {
          lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(head_));
          head_ = 0;
        }
      }
      last = closing_ && !took && !notice;
    }
    if (notice && !overflowNotice_.empty()) sink_.writeLine(overflowNotice_);
    if (took) sink_.writeLine(line);
    if (last) {
      {
        std::lock_guard guard(completionLock_);
        finished_ = true;
      }
      completionCondition_.notify_all();
      return;
    }
  }
}

bool QueuedLineWriter::closeAndFlush(Duration timeout) {
  {
    std::lock_guard guard(lock_);
    closing_ = true;
  }
  condition_.notify_all();
  // The wait is real time by nature: it bounds how long a stalled reader can hold the exit.
  std::unique_lock guard(completionLock_);
  return completionCondition_.wait_for(guard, timeout, [this] { return finished_; });
}

std::size_t QueuedLineWriter::pendingLines() const {
  std::lock_guard guard(lock_);
  return lines_.size() - head_;
}

std::size_t QueuedLineWriter::storedLines() const {
  std::lock_guard guard(lock_);
  return lines_.size();
}

}  // namespace orvix
