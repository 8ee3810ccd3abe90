#include "common/uuid.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace orvix {
namespace {

TEST(Uuid, RandomTextIsCanonicalVersion4InTheAskedCase) {
  const std::regex lower("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  const std::regex upper("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const auto text = randomUuidText(LetterCase::lower);
    EXPECT_TRUE(std::regex_match(text, lower)) << text;
    EXPECT_TRUE(seen.insert(text).second) << "repeated " << text;
    EXPECT_TRUE(std::regex_match(randomUuidText(LetterCase::upper), upper));
  }
}

TEST(Uuid, ParsesEitherCaseToTheSameValue) {
  const auto lower = parseUuid("001120a0-2233-4455-6677-889912345678");
  const auto upper = parseUuid("001120A0-2233-4455-6677-889912345678");
  ASSERT_TRUE(lower && upper);
  EXPECT_EQ(*lower, *upper);
  EXPECT_EQ(uuidText(*lower, LetterCase::upper), "001120A0-2233-4455-6677-889912345678");
  EXPECT_EQ(uuidText(*upper, LetterCase::lower), "001120a0-2233-4455-6677-889912345678");
}

TEST(Uuid, RefusesNonCanonicalText) {
  for (std::string_view bad :
       {std::string_view(""), std::string_view("001120a0223344556677889912345678"),
        std::string_view("{001120a0-2233-4455-6677-889912345678}"),
        std::string_view("001120a0-2233-4455-6677-88991234567"),
        std::string_view("001120a0-2233-4455-6677-8899123456789"),
        std::string_view("001120a0-2233-4455-6677_889912345678"),
        std::string_view("g01120a0-2233-4455-6677-889912345678"),
        std::string_view("001120a0-2233-4455-6677-889912345678\0", 37),
        std::string_view("001120a0-2233-4455-6677-88991234\0"
                         "678",
                         36)}) {
    EXPECT_FALSE(parseUuid(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace orvix
