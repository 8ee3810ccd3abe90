#include "platform/simulated/utf16_text.h"

#include <algorithm>
#include <cstdint>

namespace orvix::platform::simulated {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes UTF-8 strictly (no overlongs, no surrogates, nothing above U+10FFFF); each malformed
// byte becomes U+FFFD.
std::u32string decodeUtf8(std::string_view utf8) {
  std::u32string out;
  out.reserve(utf8.size());
  std::size_t i = 0;
  while (i < utf8.size()) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    int extra = 0;
    char32_t code = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1, code = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, code = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, code = lead & 0x07, minimum = 0x10000;
    } else {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    bool valid = i + static_cast<std::size_t>(extra) < utf8.size();
    for (int k = 1; valid && k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(utf8[i + static_cast<std::size_t>(k)]);
      if ((next & 0xC0) != 0x80) {
        valid = false;
      } else {
        code = (code << 6) | (next & 0x3F);
      }
    }
    if (!valid || code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    out.push_back(code);
    i += static_cast<std::size_t>(extra) + 1;
  }
  return out;
}

std::u16string toUtf16(std::string_view utf8) {
  std::u16string out;
  for (const char32_t code : decodeUtf8(utf8)) {
    if (code >= 0x10000) {
      const char32_t offset = code - 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (offset >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (offset & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
  }
  return out;
}

void appendUtf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

std::string toUtf8(std::u16string_view utf16) {
  std::string out;
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    const char16_t unit = utf16[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      appendUtf8(out, 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) +
                          (static_cast<char32_t>(utf16[i + 1]) - 0xDC00));
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      appendUtf8(out, kReplacement);
    } else {
      appendUtf8(out, unit);
    }
  }
  return out;
}

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
