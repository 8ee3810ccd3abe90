#include "common/text_length.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/ustring.h>
#include <unicode/utext.h>

#include <memory>

namespace orvix {

namespace {

// Building a break iterator loads ICU's rules, which costs far more than counting a short id, so
// each thread keeps one.
icu::BreakIterator* characterBreakIterator() {
  thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> created(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status)) created.reset();
    return created;
  }();
  return iterator.get();
}

// Counts clusters, giving up as soon as the count passes `stopAfter`.
std::optional<std::size_t> countClusters(std::string_view utf8, std::size_t stopAfter) {
  if (!utf16Length(utf8)) return std::nullopt;  // ICU's UTF-8 text would substitute silently
  if (utf8.empty()) return 0;
  icu::BreakIterator* iterator = characterBreakIterator();
  if (iterator == nullptr) return std::nullopt;

  UErrorCode status = U_ZERO_ERROR;
  UText text = UTEXT_INITIALIZER;
  utext_openUTF8(&text, utf8.data(), static_cast<int64_t>(utf8.size()), &status);
  if (U_FAILURE(status)) return std::nullopt;
  iterator->setText(&text, status);
  std::optional<std::size_t> count;
  if (U_SUCCESS(status)) {
    std::size_t clusters = 0;
    iterator->first();
    while (iterator->next() != icu::BreakIterator::DONE) {
      if (++clusters > stopAfter) break;
    }
    count = clusters;
  }
  // Detach the iterator from the UText before it goes out of scope.
  UText empty = UTEXT_INITIALIZER;
  UErrorCode ignored = U_ZERO_ERROR;
  utext_openUTF8(&empty, "", 0, &ignored);
  iterator->setText(&empty, ignored);
  utext_close(&text);
  utext_close(&empty);
  return count;
}

}  // namespace

std::optional<std::size_t> graphemeClusterCount(std::string_view utf8) {
  return countClusters(utf8, SIZE_MAX);
}

std::optional<std::size_t> utf16Length(std::string_view utf8) {
  if (utf8.size() > INT32_MAX) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = 0;
  // Preflight: with no destination ICU validates and measures only.
  u_strFromUTF8(nullptr, 0, &length, utf8.data(), static_cast<int32_t>(utf8.size()), &status);
  if (status == U_BUFFER_OVERFLOW_ERROR || status == U_STRING_NOT_TERMINATED_WARNING) {
    status = U_ZERO_ERROR;
  }
  if (U_FAILURE(status)) return std::nullopt;
  return static_cast<std::size_t>(length);
}

bool isBoundedText(std::string_view utf8, std::size_t maximumCharacters) {
  if (utf8.empty()) return false;
  if (utf8.size() <= maximumCharacters) return utf16Length(utf8).has_value();
  const auto count = countClusters(utf8, maximumCharacters);
  return count && *count >= 1 && *count <= maximumCharacters;
}

}  // namespace orvix
