#include "OrvixInputHost/quick-add/vocabulary_text.h"

#include <array>

#include "common/text_length.h"

namespace orvix::input_host {

namespace {

constexpr std::size_t maximumVocabularyUnits = 64;

// Unicode white space and line separators, UTF-8 encoded (tab to carriage return, space, NEL,
// no-break space, Ogham space, the typographic spaces, line and paragraph separators, narrow
// no-break, medium mathematical and ideographic space).
constexpr std::array<std::string_view, 25> whiteSpace{
    "\t",           "\n",           "\v",           "\f",           "\r",
    " ",            "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80",
    "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",
    "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};

std::size_t whiteSpaceAt(std::string_view text) {
  for (const auto space : whiteSpace) {
    if (text.starts_with(space)) return space.size();
  }
  return 0;
}

bool onlyWhiteSpace(std::string_view text) {
  while (!text.empty()) {
    const std::size_t length = whiteSpaceAt(text);
    if (length == 0) return false;
    text.remove_prefix(length);
  }
  return true;
}

}  // namespace

bool eligibleVocabularyText(std::string_view text) {
  if (text.find_first_of(std::string_view("\n\r\0", 3)) != std::string_view::npos) return false;
  const auto units = utf16Length(text);
  return units && *units <= maximumVocabularyUnits && !onlyWhiteSpace(text);
}

}  // namespace orvix::input_host
