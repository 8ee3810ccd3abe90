#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "OrvixBleHost/ble_host_constants.h"
#include "OrvixBleHost/event_queue.h"
#include "OrvixBleHost/wire_codes.h"
#include "common/line_sink.h"
#include "common/queued_line_writer.h"
#include "common/time/time_source.h"

namespace orvix::ble_host {

// The host's bounded output (a QueuedLineWriter): the main thread never blocks on a reader that
// stops reading. Lines dropped while the queue is full are stood for by one fixed
// OUTPUT_QUEUE_FULL notice, written ahead of the next line that goes out.
class HostOutputWriter final : public EventQueue {
 public:
  // The notice written in place of dropped lines, 86 bytes with its LF.
  static constexpr std::string_view kOverflowNotice =
      "{\"code\":\"OUTPUT_QUEUE_FULL\",\"event\":\"host.error\",\"schemaVersion\":1,"
      "\"scope\":\"command\"}\n";

  explicit HostOutputWriter(LineSink& sink, std::size_t maximumLines = maximumQueuedLines,
                            std::size_t maximumBytes = maximumQueuedBytes)
      : queue_(sink, maximumLines, maximumBytes, std::string(kOverflowNotice)) {}

  // Starts the output thread "OrvixBleHost.output" through `threads` (a real time source).
  void start(TimeSource& threads) { queue_.start(threads, "OrvixBleHost.output"); }
  void enqueue(std::string line) override { queue_.enqueue(std::move(line)); }
  bool closeAndFlush(Duration timeout) override { return queue_.closeAndFlush(timeout); }

  // For tests and benchmarks: lines waiting and the size of the list that holds them.
  std::size_t pendingLines() const { return queue_.pendingLines(); }
  std::size_t storedLines() const { return queue_.storedLines(); }

 private:
  QueuedLineWriter queue_;
};

// The notice is written ready-made by the output thread, which serialises nothing; it must still
// carry the code the rest of the host knows by that name.
static_assert(HostOutputWriter::kOverflowNotice.find(wireCode(HostError::outputQueueFull)) !=
              std::string_view::npos);

}  // namespace orvix::ble_host
