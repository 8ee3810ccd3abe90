#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/line_sink.h"
#include "common/time/time_source.h"

namespace orvix {

// A host's bounded output: callers only append to a queue under a short lock, and a thread of
// its own writes each line to the sink, so a reader that stops reading never blocks the threads
// that emit. When the queue is full (by lines or by bytes) new lines are dropped; with an
// overflow notice, the next wake-up of the output thread writes that notice once ahead of the
// next line, and without one the dropped lines leave no trace.
//
// Threads: writeLine(), enqueue() and closeAndFlush() from any thread; everything but the
// bounds and the notice is guarded by `lock_`. The sink is called only from the output thread,
// never under the lock.
class QueuedLineWriter final : public LineSink {
 public:
  // `overflowNotice` is one whole line, LF included, or empty.
  QueuedLineWriter(LineSink& sink, std::size_t maximumLines, std::size_t maximumBytes,
                   std::string overflowNotice = {});
  // Closes, then waits for the output thread: the sink must be able to finish its line.
  ~QueuedLineWriter() override;
  QueuedLineWriter(const QueuedLineWriter&) = delete;
  QueuedLineWriter& operator=(const QueuedLineWriter&) = delete;

  // Starts the output thread, named `threadName`, through `threads` (a real time source: the
  // thread blocks in the sink and on a condition variable).
  void start(TimeSource& threads, std::string threadName);
  void writeLine(std::string_view line) override { enqueue(std::string(line)); }
  void enqueue(std::string line);
  // Stops taking lines and waits up to `timeout` of real time for the queued ones to be
  // written. True when everything was written in time.
  bool closeAndFlush(Duration timeout);

  // For tests and benchmarks: lines waiting and the size of the list that holds them.
  std::size_t pendingLines() const;
  std::size_t storedLines() const;

 private:
  void drain();

  LineSink& sink_;
  const std::size_t maximumLines_;
  const std::size_t maximumBytes_;
  const std::string overflowNotice_;

  mutable std::mutex lock_;
  std::condition_variable condition_;
  std::vector<std::string> lines_;
  std::size_t head_ = 0;  // index of the next line to write
  std::size_t queuedBytes_ = 0;
  bool closing_ = false;
  bool overflowed_ = false;

  // The completion signal, handed from the output thread to closeAndFlush once.
  std::mutex completionLock_;
  std::condition_variable completionCondition_;
  bool finished_ = false;

  std::unique_ptr<NamedThread> thread_;
};

}  // namespace orvix
