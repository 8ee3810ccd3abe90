#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "OrvixBleHost/ble_host_constants.h"
#include "OrvixBleHost/event_queue.h"
#include "OrvixBleHost/wire_codes.h"
#include "common/line_sink.h"
#include "common/time/time_source.h"

namespace orvix::ble_host {

// The host's bounded output: the main thread only appends to a queue under a short lock, and a
// dedicated thread writes to standard output, so a reader that stops reading never blocks the
// host. When the queue is full (by lines or by bytes) new lines are dropped, and the next wake-up
// of the output thread writes one fixed OUTPUT_QUEUE_FULL notice ahead of the next line.
//
// Threads: enqueue() and closeAndFlush() from any thread; everything but the two bounds is
// guarded by `lock_`. The sink is called only from the output thread, never under the lock.
class HostOutputWriter final : public EventQueue {
 public:
  // The notice written in place of dropped lines, 86 bytes with its LF.
  static constexpr std::string_view kOverflowNotice =
      "{\"code\":\"OUTPUT_QUEUE_FULL\",\"event\":\"host.error\",\"schemaVersion\":1,"
      "\"scope\":\"command\"}\n";

  explicit HostOutputWriter(LineSink& sink, std::size_t maximumLines = maximumQueuedLines,
                            std::size_t maximumBytes = maximumQueuedBytes);
  // Closes, then waits for the output thread: the sink must be able to finish its line.
  ~HostOutputWriter() override;

  // Starts the output thread "OrvixBleHost.output" through `threads` (a real time source: the
  // thread blocks in the sink and on a condition variable).
  void start(TimeSource& threads);
  void enqueue(std::string line) override;
  bool closeAndFlush(Duration timeout) override;

  // For tests and benchmarks: lines waiting and the size of the list that holds them.
  std::size_t pendingLines() const;
  std::size_t storedLines() const;

 private:
  void drain();

  LineSink& sink_;
  const std::size_t maximumLines_;
  const std::size_t maximumBytes_;

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

// The notice is written ready-made by the output thread, which serialises nothing; it must still
// carry the code the rest of the host knows by that name.
static_assert(HostOutputWriter::kOverflowNotice.find(wireCode(HostError::outputQueueFull)) !=
              std::string_view::npos);

}  // namespace orvix::ble_host
