// The bounded output queue with its own writer thread, on real threads: a sink that can be
// stalled stands for a desktop application that stops reading standard output.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "common/queued_line_writer.h"
#include "common/time/real_time_source.h"

namespace orvix {
namespace {

using namespace std::chrono_literals;

// Records whole lines; while stalled, the writer thread blocks inside writeLine.
class GatedSink final : public LineSink {
 public:
  void writeLine(std::string_view line) override {
    std::unique_lock guard(mutex_);
    ++entered_;
    changed_.notify_all();
    changed_.wait(guard, [this] { return !stalled_; });
    lines_.emplace_back(line);
    changed_.notify_all();
  }
  void stall() {
    std::lock_guard guard(mutex_);
    stalled_ = true;
  }
  void release() {
    std::lock_guard guard(mutex_);
    stalled_ = false;
    changed_.notify_all();
  }
  // Waits until the writer thread is inside writeLine `count` times in total.
  void awaitEntered(int count) {
    std::unique_lock guard(mutex_);
    ASSERT_TRUE(changed_.wait_for(guard, 10s, [&] { return entered_ >= count; }));
  }
  void awaitLines(std::size_t count) {
    std::unique_lock guard(mutex_);
    ASSERT_TRUE(changed_.wait_for(guard, 10s, [&] { return lines_.size() >= count; }));
  }
  std::vector<std::string> lines() {
    std::lock_guard guard(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stalled_ = false;
  int entered_ = 0;
  std::vector<std::string> lines_;
};

std::string numbered(int i) { return "{\"n\":" + std::to_string(i) + "}\n"; }

constexpr std::size_t kLines = 2048;
constexpr std::size_t kBytes = 8 * 1024 * 1024;
const std::string kNotice = "{\"dropped\":true}\n";

class QueuedOutput : public ::testing::Test {
 protected:
  RealTimeSource threads;
  GatedSink sink;
};

TEST_F(QueuedOutput, LinesFlowInOrderAndFlushCompletes) {
  QueuedLineWriter writer(sink, kLines, kBytes, kNotice);
  writer.start(threads, "test.output");
  for (int i = 0; i < 1000; ++i) writer.enqueue(numbered(i));
  EXPECT_TRUE(writer.closeAndFlush(std::chrono::seconds(10)));
  const auto lines = sink.lines();
  ASSERT_EQ(lines.size(), 1000u);
  for (int i = 0; i < 1000; ++i) EXPECT_EQ(lines[static_cast<std::size_t>(i)], numbered(i));
  // Consumed lines were trimmed away as they went.
  EXPECT_LT(writer.storedLines(), 1000u);
}

TEST_F(QueuedOutput, AStalledReaderCostsAtMostTheLineBoundAndOneNotice) {
  QueuedLineWriter writer(sink, kLines, kBytes, kNotice);
  writer.start(threads, "test.output");
  sink.stall();
  writer.enqueue(numbered(-1));  // the writer thread takes it and blocks in the sink
  sink.awaitEntered(1);
  for (int i = 0; i < 3000; ++i) writer.enqueue(numbered(i));
  EXPECT_EQ(writer.pendingLines(), kLines);
  writer.writeLine("{\"late\":true}\n");  // also dropped
  sink.release();
  sink.awaitLines(1 + 1 + kLines);
  EXPECT_TRUE(writer.closeAndFlush(std::chrono::seconds(10)));

  const auto lines = sink.lines();
  ASSERT_EQ(lines.size(), 1 + 1 + kLines);
  EXPECT_EQ(lines[0], numbered(-1));
  // One notice for all the drops, ahead of the next line, then the kept lines in order.
  EXPECT_EQ(lines[1], kNotice);
  for (std::size_t i = 0; i < kLines; ++i) {
    EXPECT_EQ(lines[i + 2], numbered(static_cast<int>(i)));
  }
}

TEST_F(QueuedOutput, WithoutANoticeDroppedLinesLeaveNoTrace) {
  QueuedLineWriter writer(sink, 2, kBytes);
  writer.start(threads, "test.output");
  sink.stall();
  writer.writeLine("stuck\n");
  sink.awaitEntered(1);
  for (int i = 0; i < 5; ++i) writer.writeLine(numbered(i));
  sink.release();
  EXPECT_TRUE(writer.closeAndFlush(std::chrono::seconds(10)));
  EXPECT_EQ(sink.lines(), (std::vector<std::string>{"stuck\n", numbered(0), numbered(1)}));
}

TEST_F(QueuedOutput, TheByteBoundDropsLinesThatDoNotFit) {
  QueuedLineWriter writer(sink, 100, 50, kNotice);
  writer.start(threads, "test.output");
  sink.stall();
  writer.enqueue("first\n");
  sink.awaitEntered(1);
  writer.enqueue(std::string(29, 'a') + "\n");  // 30 bytes: fits
  writer.enqueue(std::string(20, 'b') + "\n");  // 21 more would pass 50: dropped
  writer.enqueue(std::string(19, 'c') + "\n");  // exactly 50: fits
  EXPECT_EQ(writer.pendingLines(), 2u);
  sink.release();
  EXPECT_TRUE(writer.closeAndFlush(std::chrono::seconds(10)));
  EXPECT_EQ(sink.lines(), (std::vector<std::string>{"first\n", kNotice, std::string(29, 'a') + "\n",
                                                    std::string(19, 'c') + "\n"}));
}

TEST_F(QueuedOutput, ClosingDropsLaterLinesAndGivesUpOnAStalledReaderInTime) {
  QueuedLineWriter writer(sink, kLines, kBytes, kNotice);
  writer.start(threads, "test.output");
  sink.stall();
  writer.enqueue("stuck\n");
  sink.awaitEntered(1);
  writer.enqueue("queued\n");
  const auto before = std::chrono::steady_clock::now();
  EXPECT_FALSE(writer.closeAndFlush(std::chrono::milliseconds(50)));
  EXPECT_GE(std::chrono::steady_clock::now() - before, 50ms);
  writer.enqueue("after closing\n");
  // Once the reader moves again, what was queued before closing still goes out, then the notice
  // for the line offered after closing; nothing else.
  sink.release();
  EXPECT_TRUE(writer.closeAndFlush(std::chrono::seconds(10)));
  EXPECT_EQ(sink.lines(), (std::vector<std::string>{"stuck\n", kNotice, "queued\n"}));
}

TEST_F(QueuedOutput, EnqueueNeverWaitsForTheReader) {
  QueuedLineWriter writer(sink, kLines, kBytes, kNotice);
  writer.start(threads, "test.output");
  sink.stall();
  writer.enqueue("stuck\n");
  sink.awaitEntered(1);
  // With the reader stalled, a burst far past the bound returns promptly on this thread.
  for (int i = 0; i < 100000; ++i) writer.enqueue(numbered(i));
  EXPECT_EQ(writer.pendingLines(), kLines);
  sink.release();
  EXPECT_TRUE(writer.closeAndFlush(std::chrono::seconds(10)));
}

}  // namespace
}  // namespace orvix
