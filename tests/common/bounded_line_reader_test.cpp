#include "common/bounded_line_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace orvix {
namespace {

// Hands out a fixed text in pieces of a chosen size, and records the most it was asked for.
class ScriptedSource final : public ByteSource {
 public:
  ScriptedSource(std::string text, std::size_t piece) : text_(std::move(text)), piece_(piece) {}

  std::ptrdiff_t readSome(char* buffer, std::size_t capacity) override {
    const std::size_t n = std::min({piece_, capacity, text_.size() - offset_});
    std::copy_n(text_.data() + offset_, n, buffer);
    offset_ += n;
    return static_cast<std::ptrdiff_t>(n);
  }

 private:
  std::string text_;
  std::size_t piece_;
  std::size_t offset_ = 0;
};

using Status = BoundedLineReader::Status;

std::vector<std::pair<Status, std::string>> readAll(const std::string& text, std::size_t limit,
                                                    std::size_t piece) {
  ScriptedSource source(text, piece);
  BoundedLineReader reader(source, limit);
  std::vector<std::pair<Status, std::string>> out;
  for (;;) {
    auto result = reader.next();
    if (result.status == Status::end) return out;
    out.emplace_back(result.status, std::move(result.text));
  }
}

TEST(BoundedLineReader, SplitsLinesWhateverTheReadSizes) {
  const std::string text = "{\"a\":1}\n\nsecond\r\nlast without newline";
  const std::vector<std::pair<Status, std::string>> expected = {
      {Status::line, "{\"a\":1}"},
      {Status::line, ""},
      {Status::line, "second\r"},
      {Status::line, "last without newline"}};
  for (std::size_t piece : {1u, 2u, 3u, 7u, 4096u}) {
    EXPECT_EQ(readAll(text, 100, piece), expected) << "piece " << piece;
  }
}

TEST(BoundedLineReader, LimitIsInclusiveAndOverLongLinesAreSkippedWhole) {
  const std::size_t limit = 65536;
  const std::string exact(limit, 'x');
  const std::string over(limit + 1, 'y');
  const std::string text = exact + "\n" + over + "\nafter\n" + over;
  for (std::size_t piece : {1000u, 65536u, 70000u}) {
    const auto lines = readAll(text, limit, piece);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], std::make_pair(Status::line, exact));
    EXPECT_EQ(lines[1].first, Status::overLong);
    EXPECT_TRUE(lines[1].second.empty());
    EXPECT_EQ(lines[2], std::make_pair(Status::line, std::string("after")));
    EXPECT_EQ(lines[3].first, Status::overLong);  // unterminated at end of stream
  }
}

TEST(BoundedLineReader, EndlessLineIsConsumedAndReportedOnce) {
  // 64 MiB without a newline: consumed to the end of the stream, reported as one over-long line.
  class Endless final : public ByteSource {
   public:
    std::ptrdiff_t readSome(char* buffer, std::size_t capacity) override {
      if (remaining_ == 0) return 0;
      const std::size_t n = std::min(capacity, remaining_);
      std::fill_n(buffer, n, 'z');
      remaining_ -= n;
      return static_cast<std::ptrdiff_t>(n);
    }
    std::size_t remaining_ = 64u << 20;
  } source;
  BoundedLineReader reader(source, 1024);
  EXPECT_EQ(reader.next().status, Status::overLong);
  EXPECT_EQ(reader.next().status, Status::end);
}

TEST(BoundedLineReader, ReadErrorEndsTheStream) {
  class Failing final : public ByteSource {
   public:
    std::ptrdiff_t readSome(char*, std::size_t) override { return -1; }
  } source;
  BoundedLineReader reader(source, 10);
  EXPECT_EQ(reader.next().status, Status::end);
  EXPECT_EQ(reader.next().status, Status::end);
}

}  // namespace
}  // namespace orvix
