#include "common/utf16.h"

#include <unicode/ustring.h>

#include "common/text_length.h"

namespace orvix {

std::optional<std::u16string> toUtf16(std::string_view utf8) {
  const auto length = utf16Length(utf8);
  if (!length) return std::nullopt;
  std::u16string out(*length, u'\0');
  if (out.empty()) return out;
  UErrorCode status = U_ZERO_ERROR;
  int32_t written = 0;
  u_strFromUTF8(out.data(), static_cast<int32_t>(out.size()), &written, utf8.data(),
                static_cast<int32_t>(utf8.size()), &status);
  if (U_FAILURE(status) || static_cast<std::size_t>(written) != out.size()) return std::nullopt;
  return out;
}

std::string fromUtf16(std::u16string_view utf16) {
  if (utf16.empty()) return {};
  // Every UTF-16 unit becomes at most three UTF-8 bytes.
  std::string out(utf16.size() * 3, '\0');
  UErrorCode status = U_ZERO_ERROR;
  int32_t written = 0;
  u_strToUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &written, utf16.data(),
                     static_cast<int32_t>(utf16.size()), 0xFFFD, nullptr, &status);
  if (U_FAILURE(status)) return {};
  out.resize(static_cast<std::size_t>(written));
  return out;
}

}  // namespace orvix
