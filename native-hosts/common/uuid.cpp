#include "common/uuid.h"

#include <uuid/uuid.h>

namespace orvix {

namespace {
constexpr std::size_t kCanonicalLength = 36;
}

Uuid randomUuid() {
  Uuid uuid{};
  uuid_generate_random(uuid.data());
  return uuid;
}

std::string uuidText(const Uuid& uuid, LetterCase letterCase) {
  char text[kCanonicalLength + 1];
  if (letterCase == LetterCase::lower) {
    uuid_unparse_lower(uuid.data(), text);
  } else {
    uuid_unparse_upper(uuid.data(), text);
  }
  return std::string(text, kCanonicalLength);
}

std::string randomUuidText(LetterCase letterCase) { return uuidText(randomUuid(), letterCase); }

std::optional<Uuid> parseUuid(std::string_view text) {
  // libuuid reads a C string: check the length first so that "<uuid>\0junk" is not accepted.
  if (text.size() != kCanonicalLength) return std::nullopt;
  const std::string terminated(text);
  if (terminated.find('\0') != std::string::npos) return std::nullopt;
  Uuid uuid{};
  if (uuid_parse(terminated.c_str(), uuid.data()) != 0) return std::nullopt;
  return uuid;
}

}  // namespace orvix
