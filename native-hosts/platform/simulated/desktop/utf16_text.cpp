#include "platform/simulated/desktop/utf16_text.h"

#include <algorithm>
#include <cstdint>

#include "common/utf16.h"
#include "common/utf8_repair.h"

namespace orvix::platform::simulated {

namespace {

// Text from outside may hold malformed bytes; a field shows each as U+FFFD, as the platform's
// string conversion does, so the repaired text always converts.
std::u16string toUtf16(std::string_view utf8) { return orvix::toUtf16(repairUtf8(utf8)).value(); }

std::string toUtf8(std::u16string_view utf16) { return fromUtf16(utf16); }

bool isLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

struct Span {
  std::size_t begin;
  std::size_t end;
};

Span clampSelection(const std::u16string& units, TextRange selection) {
  const auto size = static_cast<std::int64_t>(units.size());
  const std::int64_t location = selection.location;
  const std::int64_t length = std::max<std::int64_t>(selection.length, 0);
  const std::int64_t end =
      location > 0 && length > INT64_MAX - location ? INT64_MAX : location + length;
  Span span{static_cast<std::size_t>(std::clamp<std::int64_t>(location, 0, size)), 0};
  span.end = static_cast<std::size_t>(
      std::clamp<std::int64_t>(end, static_cast<std::int64_t>(span.begin), size));
  const bool caret = span.end == span.begin;
  if (span.begin > 0 && span.begin < units.size() && isLowSurrogate(units[span.begin])) {
    --span.begin;
  }
  if (caret) {
    span.end = span.begin;
  } else if (span.end < units.size() && isLowSurrogate(units[span.end])) {
    ++span.end;
  }
  return span;
}

}  // namespace

std::int64_t utf16Units(std::string_view utf8) {
  return static_cast<std::int64_t>(toUtf16(utf8).size());
}

TextEdit replaceSelection(std::string_view value, TextRange selection, std::string_view inserted) {
  std::u16string units = toUtf16(value);
  const Span span = clampSelection(units, selection);
  const std::u16string insertedUnits = toUtf16(inserted);
  units.replace(span.begin, span.end - span.begin, insertedUnits);
  const auto caret = static_cast<std::int64_t>(span.begin + insertedUnits.size());
  return TextEdit{toUtf8(units), TextRange{caret, 0}};
}

std::string selectedText(std::string_view value, TextRange selection) {
  const std::u16string units = toUtf16(value);
  const Span span = clampSelection(units, selection);
  return toUtf8(std::u16string_view(units).substr(span.begin, span.end - span.begin));
}

}  // namespace orvix::platform::simulated
