// Standard input as the host sees it: terminators stripped, bad bytes replaced, over-long lines
// consumed without being held, and the end of input reported once after the last line.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "OrvixBleHost/ble_host_constants.h"
#include "OrvixBleHost/command_forwarder.h"
#include "OrvixBleHost/command_reader.h"
#include "common/utf8_repair.h"
#include "common/time/virtual_time_source.h"

namespace orvix::ble_host {
namespace {

// Hands out a string in small pieces, as a pipe does.
class StringSource final : public ByteSource {
 public:
  explicit StringSource(std::string text) : text_(std::move(text)) {}
  std::ptrdiff_t readSome(char* buffer, std::size_t capacity) override {
    const std::size_t n = std::min({capacity, text_.size() - at_, std::size_t{4093}});
    std::copy_n(text_.data() + at_, n, buffer);
    at_ += n;
    return static_cast<std::ptrdiff_t>(n);
  }

 private:
  std::string text_;
  std::size_t at_ = 0;
};

std::vector<std::string> readAll(const std::string& input, int* ends = nullptr) {
  StringSource source(input);
  std::vector<std::string> lines;
  int endCount = 0;
  readCommands(
      source, [&](CommandLine line) { lines.push_back(line.text.value_or("<over-long>")); },
      [&] {
        lines.push_back("<end>");
        ++endCount;
      });
  if (ends) *ends = endCount;
  return lines;
}

TEST(CommandReader, StripsLfAndCrLfAndKeepsEmptyLines) {
  EXPECT_EQ(readAll("a\r\nb\n\nc\rd\ne"),
            (std::vector<std::string>{"a", "b", "", "c\rd", "e", "<end>"}));
  int ends = 0;
  EXPECT_EQ(readAll("", &ends), std::vector<std::string>{"<end>"});
  EXPECT_EQ(ends, 1);
}

TEST(CommandReader, OverLongLinesAreReportedAndTheStreamGoesOn) {
  const std::string exact(maximumCommandBytes, 'x');
  const auto lines = readAll(exact + "\r\n" + std::string(maximumCommandBytes + 1, 'y') + "\n" +
                             std::string(3 * maximumCommandBytes, 'z') + "\nnext\n");
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], exact);  // the CR of CR LF does not count against the bound
  EXPECT_EQ(lines[1].size(), maximumCommandBytes + 1);  // held, then refused by the host
  EXPECT_EQ(lines[2], "<over-long>");
  EXPECT_EQ(lines[3], "next");
}

// Counts what waits on the wrapped loop: posted and not yet run.
class CountingLoop final : public RunLoop {
 public:
  explicit CountingLoop(RunLoop& inner) : inner_(inner) {}
  void post(Task task) override {
    peak = std::max(peak, ++waiting);
    inner_.post([this, task = std::move(task)]() mutable {
      --waiting;
      task();
    });
  }
  TimerHandle scheduleAfter(Duration delay, Task task) override {
    return inner_.scheduleAfter(delay, std::move(task));
  }
  void run() override { inner_.run(); }
  void runFor(Duration duration) override { inner_.runFor(duration); }
  void stop() override { inner_.stop(); }
  bool isCurrent() const override { return inner_.isCurrent(); }
  std::size_t waiting = 0;
  std::size_t peak = 0;

 private:
  RunLoop& inner_;
};

TEST(CommandForwarding, AFastWriterWaitsOnceTheLinesInFlightAreTaken) {
  VirtualTimeSource time;
  std::string input;
  for (int i = 0; i < 500; ++i) input += "line " + std::to_string(i) + "\n";
  StringSource source(input);
  CountingLoop loop(time.mainLoop());
  auto slots = time.makeSemaphore(static_cast<int>(maximumCommandsInFlight));
  std::vector<std::string> handled;
  bool ended = false;
  auto reader = time.startThread("reader", [&] {
    forwardCommands(
        source, loop, *slots, [&](const CommandLine& line) { handled.push_back(*line.text); },
        [&] { ended = true; });
  });
  time.runUntilIdle();
  reader.reset();
  ASSERT_EQ(handled.size(), 500u);
  EXPECT_EQ(handled.back(), "line 499");
  EXPECT_TRUE(ended);
  // The end-of-input task takes no slot, so one more may wait beside the full set.
  EXPECT_LE(loop.peak, maximumCommandsInFlight + 1);
}

TEST(Utf8Repair, ReplacesEachMaximalSubpartOnce) {
  EXPECT_EQ(repairUtf8("plain \xC3\xA9 \xF0\x9F\x8C\x8D"), "plain \xC3\xA9 \xF0\x9F\x8C\x8D");
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(repairUtf8("\xFF"), r);
  EXPECT_EQ(repairUtf8("a\x80\x80z"), "a" + r + r + "z");
  EXPECT_EQ(repairUtf8("\xE2\x82"), r);  // truncated: one replacement
  EXPECT_EQ(repairUtf8("\xE2\x82z"), r + "z");
  EXPECT_EQ(repairUtf8("\xF0\x9F\x8C"), r);
  EXPECT_EQ(repairUtf8("\xC0\xAF"), r + r);                  // overlong lead is never valid
  EXPECT_EQ(repairUtf8("\xED\xA0\x80"), r + r + r);          // a surrogate
  EXPECT_EQ(repairUtf8("\xF4\x90\x80\x80"), r + r + r + r);  // above U+10FFFF
  EXPECT_EQ(repairUtf8(std::string("a\0b", 3)), std::string("a\0b", 3));
}

}  // namespace
}  // namespace orvix::ble_host
