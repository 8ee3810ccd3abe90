#include "common/json_wire.h"

#include <cmath>

namespace orvix {

namespace {

bool holdsNonFiniteNumber(const Json& value) {
  switch (value.type()) {
    case Json::value_t::number_float:
      return !std::isfinite(value.get<double>());
    case Json::value_t::object:
    case Json::value_t::array:
      for (const auto& element : value) {
        if (holdsNonFiniteNumber(element)) return true;
      }
      return false;
    default:
      return false;
  }
}

}  // namespace

std::optional<Json> parseJsonObject(std::string_view text) {
  Json parsed = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object()) return std::nullopt;
  return parsed;
}

std::optional<std::int64_t> integralNumber(const Json& value) {
  switch (value.type()) {
    case Json::value_t::number_integer:
      return value.get<std::int64_t>();
    case Json::value_t::number_unsigned: {
      const auto unsignedValue = value.get<std::uint64_t>();
      if (unsignedValue > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
      return static_cast<std::int64_t>(unsignedValue);
    }
    case Json::value_t::number_float: {
      const double d = value.get<double>();
      // -2^63 is exact in a double; 2^63 is the first value past the range.
      constexpr double kLimit = 9223372036854775808.0;
      if (!std::isfinite(d) || d != std::trunc(d) || d < -kLimit || d >= kLimit) {
        return std::nullopt;
      }
      return static_cast<std::int64_t>(d);
    }
    default:
      return std::nullopt;
  }
}

std::optional<std::int64_t> integralMember(const Json& object, std::string_view key) {
  if (!object.is_object()) return std::nullopt;
  const auto it = object.find(key);
  if (it == object.end()) return std::nullopt;
  return integralNumber(*it);
}

const std::string* stringMember(const Json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return nullptr;
  return it->get_ptr<const std::string*>();
}

std::optional<std::string> serializeCompact(const Json& value) {
  if (holdsNonFiniteNumber(value)) return std::nullopt;
  try {
    return value.dump(-1, ' ', /*ensure_ascii=*/false, Json::error_handler_t::strict);
  } catch (const Json::type_error&) {
    // Invalid UTF-8 in a string or key.
    return std::nullopt;
  }
}

}  // namespace orvix
