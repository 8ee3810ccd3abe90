#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace orvix {

using Json = nlohmann::json;

// Parses one JSON line. Absent when the text is not JSON (invalid UTF-8 included) or its top
// level is not an object; never throws.
std::optional<Json> parseJsonObject(std::string_view text);

// The protocol's "integer": a JSON number whose value is integral, so 2 and 2.0 both give 2.
// Booleans are not numbers, and a value outside the 64-bit signed range is not an integer.
std::optional<std::int64_t> integralNumber(const Json& value);

// The value of `key` in `object` as an integral number, absent when missing or not integral.
std::optional<std::int64_t> integralMember(const Json& object, std::string_view key);

// The value of `key` in `object` as a string, absent when missing or not a string.
const std::string* stringMember(const Json& object, std::string_view key);

// Compact serialisation, keys in ascending byte order (the order nlohmann keeps objects in),
// no line breaks. Absent when the value cannot be written as JSON: a non-finite number (which
// would otherwise silently become null) or a string that is not valid UTF-8.
std::optional<std::string> serializeCompact(const Json& value);

}  // namespace orvix
