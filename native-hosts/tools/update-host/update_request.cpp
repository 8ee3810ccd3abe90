#include "tools/update-host/update_request.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <array>
#include <string_view>

#include "common/text_length.h"

namespace orvix::update_host {

namespace {

constexpr std::size_t kMaximumVersionCharacters = 64;
constexpr std::size_t kMaximumIdentityBytes = 256;
constexpr std::array<std::string_view, 4> kRequestKeys = {"kind", "currentVersion", "clientVersion",
                                                          "identity"};

// "Characters" are what a person sees (grapheme clusters); the empty text is allowed here.
bool isVersionText(const std::string& text) {
  const auto count = graphemeClusterCount(text);
  return count && *count <= kMaximumVersionCharacters;
}

// The identity ends up in a JSON body the gateway logs and compares, so anything invisible or
// line-breaking in it is refused. White space is the Unicode White_Space property, which covers
// the no-break and ideographic spaces as well as tab, line feed and their relatives.
bool isIdentityText(const std::string& text) {
  if (text.empty() || text.size() > kMaximumIdentityBytes) return false;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int32_t>(text.size());
  std::int32_t offset = 0;
  while (offset < length) {
    UChar32 codePoint = 0;
    U8_NEXT(bytes, offset, length, codePoint);
    if (codePoint < 0) return false;  // invalid UTF-8
    if (codePoint < 32 || codePoint == 127 || u_isUWhiteSpace(codePoint)) return false;
  }
  return true;
}

}  // namespace

std::optional<UpdateRequest> validateRequest(const Json& object) {
  if (!object.is_object() || object.size() != kRequestKeys.size()) return std::nullopt;
  for (const auto key : kRequestKeys) {
    if (stringMember(object, key) == nullptr) return std::nullopt;
  }
  UpdateRequest request;
  const std::string& kind = *stringMember(object, "kind");
  if (kind == "desktop") {
    request.kind = UpdateKind::desktop;
  } else if (kind == "firmware") {
    request.kind = UpdateKind::firmware;
  } else {
    return std::nullopt;
  }
  request.currentVersion = *stringMember(object, "currentVersion");
  request.clientVersion = *stringMember(object, "clientVersion");
  request.identity = *stringMember(object, "identity");
  if (!isVersionText(request.currentVersion) || !isVersionText(request.clientVersion) ||
      !isIdentityText(request.identity)) {
    return std::nullopt;
  }
  return request;
}

std::string kindName(UpdateKind kind) {
  return kind == UpdateKind::desktop ? "desktop" : "firmware";
}

}  // namespace orvix::update_host
