#include "tools/update-host/bounded_json.h"

#include "tools/update-host/failure.h"

namespace orvix::update_host {

namespace {

// A linear scan that counts open brackets outside strings. It need not validate anything else:
// the parser does that afterwards on text already known to be shallow enough.
bool nestsDeeperThan(std::string_view text, std::size_t maximumDepth) {
  std::size_t depth = 0;
  bool inString = false;
  bool escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        inString = true;
        break;
      case '[':
      case '{':
        if (++depth > maximumDepth) return true;
        break;
      case ']':
      case '}':
        if (depth > 0) --depth;
        break;
      default:
        break;
    }
  }
  return false;
}

}  // namespace

Json parseBoundedObject(std::string_view bytes) {
  if (bytes.size() > kMaximumPayloadBytes || nestsDeeperThan(bytes, kMaximumNestingDepth)) {
    throw UpdateFailure(Failure::response);
  }
  // The parser refuses invalid UTF-8 inside strings, and any stray byte outside them is a
  // syntax error, so a parsed object is always valid UTF-8 text.
  auto parsed = parseJsonObject(bytes);
  if (!parsed) throw UpdateFailure(Failure::response);
  return std::move(*parsed);
}

}  // namespace orvix::update_host
