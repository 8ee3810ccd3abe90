#include "common/base64.h"

#include <gtest/gtest.h>

#include <random>

namespace orvix {
namespace {

std::vector<std::uint8_t> bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

TEST(Base64, EncodesTheRfcVectors) {
  const std::pair<const char*, const char*> vectors[] = {{"", ""},
                                                         {"f", "Zg=="},
                                                         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},
                                                         {"foob", "Zm9vYg=="},
                                                         {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"}};
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(base64Encode(bytesOf(plain)), encoded);
    EXPECT_EQ(base64Decode(encoded), bytesOf(plain)) << encoded;
  }
}

TEST(Base64, RoundTripsEveryByteValueAndLength) {
  std::mt19937 random(7);
  for (std::size_t length = 0; length < 300; ++length) {
    std::vector<std::uint8_t> bytes(length);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    const auto encoded = base64Encode(bytes);
    EXPECT_EQ(encoded.size() % 4, 0u);
    EXPECT_EQ(base64Decode(encoded), bytes);
  }
}

TEST(Base64, RefusesAnythingOutsideTheStrictForm) {
  for (const char* bad : {"Zg=", "Zg", "Zm9v\n", "Zm9v\r\nZm9v", " Zm9v", "Zm 9v", "Zm9-", "Zm9_",
                          "Z===", "====", "=Zm9", "Zm=v", "Zg==Zm9v", "Zm9v====", "Zg=a"}) {
    EXPECT_FALSE(base64Decode(bad).has_value()) << '"' << bad << '"';
  }
  EXPECT_FALSE(base64Decode(std::string_view("Zm9v\0\0\0\0", 8)).has_value());
  EXPECT_FALSE(base64Decode("Zm9v\xC3\xA9==").has_value());
}

TEST(Base64, IgnoresLeftoverBitsInThePaddedGroup) {
  // "Zh==" carries bits past the single byte; the platform decoder keeps the byte.
  EXPECT_EQ(base64Decode("Zh=="), bytesOf("f"));
}

}  // namespace
}  // namespace orvix
