// The host's output queue: its bounds and the notice that stands for the lines it dropped. The
// queue's mechanism itself is tested in tests/common/queued_line_writer_test.cpp.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "OrvixBleHost/host_output_writer.h"
#include "common/time/real_time_source.h"

namespace orvix::ble_host {
namespace {

std::string numbered(int i) { return "{\"n\":" + std::to_string(i) + "}\n"; }

TEST(OutputWriter, TheOverflowNoticeIsTheFixedLine) {
  EXPECT_EQ(HostOutputWriter::kOverflowNotice.size(), 86u);  // the LF included
  EXPECT_EQ(HostOutputWriter::kOverflowNotice,
            "{\"code\":\"OUTPUT_QUEUE_FULL\",\"event\":\"host.error\",\"schemaVersion\":1,"
            "\"scope\":\"command\"}\n");
}

TEST(OutputWriter, AStalledReaderCostsAtMostTheLineBoundAndOneNotice) {
  RealTimeSource threads;
  MemoryLineSink sink;
  HostOutputWriter writer(sink);
  // Nothing is written before the output thread starts: a reader stalled from the first line.
  for (int i = 0; i < 3000; ++i) writer.enqueue(numbered(i));
  EXPECT_EQ(writer.pendingLines(), maximumQueuedLines);
  writer.enqueue("{\"late\":true}\n");  // also dropped
  writer.start(threads);
  EXPECT_TRUE(writer.closeAndFlush(std::chrono::seconds(10)));

  const auto lines = sink.lines();
  ASSERT_EQ(lines.size(), 1 + maximumQueuedLines);
  // One notice for all the drops, ahead of the next line, then the kept lines in order.
  EXPECT_EQ(lines[0], HostOutputWriter::kOverflowNotice);
  for (std::size_t i = 0; i < maximumQueuedLines; ++i) {
    EXPECT_EQ(lines[i + 1], numbered(static_cast<int>(i)));
  }
}

}  // namespace
}  // namespace orvix::ble_host
