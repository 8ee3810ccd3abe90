#include "tools/update-host/version_rules.h"

#include <cstdint>
#include <vector>

namespace orvix::update_host {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::vector<std::string_view> splitAtDots(std::string_view text) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = text.find('.', start);
    if (dot == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, dot - start));
    start = dot + 1;
  }
}

bool allDigits(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (!isDigit(c)) return false;
  }
  return true;
}

// "0" or a digit run without a leading zero.
bool isCanonicalNumber(std::string_view text) {
  return allDigits(text) && (text.size() == 1 || text.front() != '0');
}

// The value when it is below `bound`; absent otherwise, however many digits there are.
std::optional<std::uint32_t> numberBelow(std::string_view digits, std::uint32_t bound) {
  std::uint64_t value = 0;
  for (const char c : digits) {
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value >= bound) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

}  // namespace

std::optional<std::string> desktopClientVersion(std::string_view currentVersion) {
  const auto parts = splitAtDots(currentVersion);
  if (parts.size() != 3 || !isCanonicalNumber(parts[0]) || !isCanonicalNumber(parts[1]) ||
      !allDigits(parts[2]) || parts[2].size() > 2) {
    return std::nullopt;
  }
  const auto major = numberBelow(parts[0], 65536);
  const auto minor = numberBelow(parts[1], 100);
  const auto patch = numberBelow(parts[2], 100);
  if (!major || !minor || !patch) return std::nullopt;
  const std::uint64_t combined =
      std::uint64_t{*major} * 10000 + std::uint64_t{*minor} * 100 + *patch;
  return std::to_string(combined);
}

std::optional<std::string> firmwareClientVersion(std::string_view clientVersion) {
  const auto parts = splitAtDots(clientVersion);
  if (parts.size() > 4) return std::nullopt;
  for (const auto part : parts) {
    if (!allDigits(part)) return std::nullopt;
  }
  return std::string(clientVersion);
}

std::optional<std::string> firmwareRomVersion(std::string_view currentVersion) {
  std::string digits;
  for (const char c : currentVersion) {
    if (isDigit(c)) digits.push_back(c);
  }
  if (digits.empty()) return std::nullopt;
  return digits;
}

}  // namespace orvix::update_host
