#include "common/json_wire.h"

#include <gtest/gtest.h>

#include <limits>

namespace orvix {
namespace {

TEST(JsonWire, ParsesOnlyObjects) {
  EXPECT_TRUE(parseJsonObject(R"({"command":"scan.start"})").has_value());
  EXPECT_TRUE(parseJsonObject(" {} ").has_value());
  for (const char* bad : {"", "[]", "2", "\"x\"", "null", "{", "{\"a\":1}{}", "{\"a\":NaN}",
                          "{\"a\":Infinity}", "{'a':1}", "{\"a\":1,}"}) {
    EXPECT_FALSE(parseJsonObject(bad).has_value()) << bad;
  }
}

TEST(JsonWire, RefusesInvalidUtf8InStrings) {
  EXPECT_FALSE(parseJsonObject("{\"a\":\"\xFF\"}").has_value());
  EXPECT_FALSE(parseJsonObject("{\"\xC3\":1}").has_value());
  EXPECT_TRUE(parseJsonObject("{\"a\":\"\xC3\xA9\"}").has_value());
}

TEST(JsonWire, SurvivesDeepNesting) {
  const std::string deep = "{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
  EXPECT_TRUE(parseJsonObject(deep).has_value());
  EXPECT_FALSE(parseJsonObject("{\"a\":" + std::string(100000, '[') + "}").has_value());
}

TEST(JsonWire, IntegralNumberRule) {
  const auto object = *parseJsonObject(
      R"({"two":2,"twoPointZero":2.0,"exp":2e0,"half":2.5,"yes":true,"text":"2","null":null,)"
      R"("negative":-7.0,"big":18446744073709551615,"huge":1e300,"min":-9223372036854775808})");
  EXPECT_EQ(integralMember(object, "two"), 2);
  EXPECT_EQ(integralMember(object, "twoPointZero"), 2);
  EXPECT_EQ(integralMember(object, "exp"), 2);
  EXPECT_EQ(integralMember(object, "negative"), -7);
  EXPECT_EQ(integralMember(object, "min"), std::numeric_limits<std::int64_t>::min());
  for (const char* key : {"half", "yes", "text", "null", "big", "huge", "missing"}) {
    EXPECT_FALSE(integralMember(object, key).has_value()) << key;
  }
  EXPECT_FALSE(integralNumber(Json(std::numeric_limits<double>::quiet_NaN())).has_value());
  EXPECT_FALSE(integralNumber(Json(9223372036854775808.0)).has_value());
}

TEST(JsonWire, StringMemberIsTypeStrict) {
  const auto object = *parseJsonObject(R"({"id":"abc","n":1})");
  ASSERT_NE(stringMember(object, "id"), nullptr);
  EXPECT_EQ(*stringMember(object, "id"), "abc");
  EXPECT_EQ(stringMember(object, "n"), nullptr);
  EXPECT_EQ(stringMember(object, "missing"), nullptr);
}

TEST(JsonWire, SerialisesCompactlyWithSortedKeys) {
  Json event = {{"schemaVersion", 1}, {"event", "adapter.state"}, {"b", {1, 2.5}}, {"a", "é/\n"}};
  EXPECT_EQ(serializeCompact(event),
            R"({"a":"é/\n","b":[1,2.5],"event":"adapter.state","schemaVersion":1})");
}

TEST(JsonWire, ReportsUnserialisableValuesInsteadOfWritingThem) {
  EXPECT_FALSE(serializeCompact(Json{{"x", std::numeric_limits<double>::infinity()}}));
  EXPECT_FALSE(serializeCompact(Json{{"x", {{"y", std::nan("")}}}}));
  EXPECT_FALSE(serializeCompact(Json{{"x", "\xFF"}}));
  EXPECT_FALSE(serializeCompact(Json{{"\xC3", 1}}));
  EXPECT_TRUE(serializeCompact(Json{{"x", 1e308}}));
}

}  // namespace
}  // namespace orvix
