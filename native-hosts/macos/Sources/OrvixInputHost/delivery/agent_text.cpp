#include "OrvixInputHost/delivery/agent_text.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include "common/text_length.h"

namespace orvix::input_host {

namespace {

icu::UnicodeString lowered(std::string_view text) {
  icu::UnicodeString unicode =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  unicode.toLower(icu::Locale::getDefault());
  return unicode;
}

}  // namespace

bool equalsIgnoringCase(std::string_view a, std::string_view b) { return lowered(a) == lowered(b); }

bool containsIgnoringCase(std::string_view text, std::string_view part) {
  return lowered(text).indexOf(lowered(part)) >= 0;
}

bool containsAnyIgnoringCase(std::string_view text, const std::vector<std::string_view>& parts) {
  const icu::UnicodeString lowerText = lowered(text);
  for (const auto part : parts) {
    if (lowerText.indexOf(lowered(part)) >= 0) return true;
  }
  return false;
}

std::string normalizedAgentDraft(std::string_view text) {
  icu::UnicodeString unicode =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  unicode.findAndReplace(icu::UnicodeString(static_cast<UChar32>(0xFEFF)), icu::UnicodeString());
  unicode.findAndReplace(icu::UnicodeString(static_cast<UChar32>(0x00A0)),
                         icu::UnicodeString(static_cast<UChar32>(0x20)));
  int32_t start = 0;
  int32_t end = unicode.length();
  while (start < end && u_isUWhiteSpace(unicode.char32At(start))) start = unicode.moveIndex32(start, 1);
  while (end > start && u_isUWhiteSpace(unicode.char32At(unicode.moveIndex32(end, -1)))) {
    end = unicode.moveIndex32(end, -1);
  }
  std::string result;
  unicode.tempSubStringBetween(start, end).toUTF8String(result);
  return result;
}

long long agentCharacterCount(std::string_view text) {
  return static_cast<long long>(graphemeClusterCount(text).value_or(0));
}

}  // namespace orvix::input_host
