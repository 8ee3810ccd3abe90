#include "common/text_length.h"

#include <gtest/gtest.h>

#include <string>

namespace orvix {
namespace {

std::string repeat(std::string_view unit, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += unit;
  return out;
}

constexpr std::string_view kEAcute = "e\xCC\x81";                       // e + combining acute
constexpr std::string_view kFlag = "\xF0\x9F\x87\xA8\xF0\x9F\x87\xAD";  // regional indicators CH
constexpr std::string_view kFamily =                                    // man ZWJ woman ZWJ girl
    "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
constexpr std::string_view kHan = "\xE4\xB8\xAD";

TEST(TextLength, CountsUserPerceivedCharacters) {
  EXPECT_EQ(graphemeClusterCount(""), 0u);
  EXPECT_EQ(graphemeClusterCount("abc"), 3u);
  EXPECT_EQ(graphemeClusterCount(kEAcute), 1u);
  EXPECT_EQ(graphemeClusterCount(kFlag), 1u);
  EXPECT_EQ(graphemeClusterCount(kFamily), 1u);
  EXPECT_EQ(graphemeClusterCount("\r\n"), 1u);
  EXPECT_EQ(graphemeClusterCount(std::string_view("a\0b", 3)), 3u);
}

TEST(TextLength, CountsUtf16CodeUnits) {
  EXPECT_EQ(utf16Length(""), 0u);
  EXPECT_EQ(utf16Length("abc"), 3u);
  EXPECT_EQ(utf16Length(kHan), 1u);
  EXPECT_EQ(utf16Length(kEAcute), 2u);
  EXPECT_EQ(utf16Length(kFlag), 4u);  // two astral code points, a surrogate pair each
}

TEST(TextLength, RefusesInvalidUtf8) {
  for (std::string_view bad : {std::string_view("\xFF"), std::string_view("a\xC3"),
                               std::string_view("\xC0\xAF"),       // overlong "/"
                               std::string_view("\xED\xA0\x80")})  // encoded surrogate
  {
    EXPECT_FALSE(graphemeClusterCount(bad).has_value());
    EXPECT_FALSE(utf16Length(bad).has_value());
    EXPECT_FALSE(isBoundedText(bad, 128));
  }
}

TEST(TextLength, BoundsCountCharactersNotBytes) {
  EXPECT_FALSE(isBoundedText("", 128));
  EXPECT_TRUE(isBoundedText("a", 128));
  EXPECT_TRUE(isBoundedText(repeat("a", 128), 128));
  EXPECT_FALSE(isBoundedText(repeat("a", 129), 128));
  // 128 multi-byte characters are far more than 128 bytes and still within the bound.
  EXPECT_TRUE(isBoundedText(repeat(kHan, 128), 128));
  EXPECT_TRUE(isBoundedText(repeat(kFamily, 128), 128));
  EXPECT_FALSE(isBoundedText(repeat(kHan, 129), 128));
  EXPECT_FALSE(isBoundedText(repeat(kFlag, 129), 128));
}

TEST(TextLength, LongTextsStopCountingPastTheBound) {
  const std::string text = repeat(kEAcute, 100001);
  EXPECT_FALSE(isBoundedText(text, 100000));
  EXPECT_TRUE(isBoundedText(repeat(kEAcute, 100000), 100000));
}

}  // namespace
}  // namespace orvix
