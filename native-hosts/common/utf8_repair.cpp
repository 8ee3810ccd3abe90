#include "common/utf8_repair.h"

#include <cstdint>

namespace orvix {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool isContinuation(std::uint8_t byte) { return byte >= 0x80 && byte <= 0xBF; }

// The number of bytes of the well-formed prefix of the sequence starting at `at`: the whole
// sequence when it is complete, otherwise its maximal subpart (0 for a byte that can never
// start a sequence).
std::size_t wellFormedPrefix(std::string_view bytes, std::size_t at, bool& complete) {
  const auto lead = static_cast<std::uint8_t>(bytes[at]);
  std::size_t length = 0;
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    complete = false;
    return 0;
  }
  std::size_t taken = 1;
  for (; taken < length && at + taken < bytes.size(); ++taken) {
    const auto byte = static_cast<std::uint8_t>(bytes[at + taken]);
    const bool fits = taken == 1 ? byte >= low && byte <= high : isContinuation(byte);
    if (!fits) break;
  }
  complete = taken == length;
  return taken;
}

}  // namespace

std::string repairUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (static_cast<std::uint8_t>(bytes[at]) < 0x80) {
      out.push_back(bytes[at++]);
      continue;
    }
    bool complete = false;
    const std::size_t taken = wellFormedPrefix(bytes, at, complete);
    if (complete) {
      out.append(bytes.substr(at, taken));
    } else {
      out.append(kReplacement);
    }
    at += taken == 0 ? 1 : taken;
  }
  return out;
}

}  // namespace orvix
