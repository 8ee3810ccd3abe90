#include "platform/linux/desktop/text_offsets.h"

namespace orvix::platform::linux_desktop {

namespace {

// Walks the text's characters; `stop` sees (characters, units) before each character and at
// the end, and ends the walk by answering true.
template <typename Stop>
bool walk(std::string_view utf8, Stop stop) {
  std::int64_t characters = 0;
  std::int64_t units = 0;
  for (std::size_t i = 0; i < utf8.size();) {
    if (stop(characters, units)) return true;
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    units += length == 4 ? 2 : 1;
    ++characters;
    i += length;
  }
  return stop(characters, units);
}

}  // namespace

OffsetUnit offsetUnitOf(std::string_view utf8, std::int64_t reportedCount) {
  std::int64_t characters = 0;
  std::int64_t units = 0;
  walk(utf8, [&](std::int64_t c, std::int64_t u) {
    characters = c;
    units = u;
    return false;
  });
  return units != characters && reportedCount == units ? OffsetUnit::utf16Units
                                                        : OffsetUnit::characters;
}

std::optional<std::int64_t> utf16OffsetOf(std::string_view utf8, std::int64_t characters) {
  std::optional<std::int64_t> found;
  walk(utf8, [&](std::int64_t c, std::int64_t u) {
    if (c == characters) found = u;
    return c >= characters;
  });
  return found;
}

std::optional<std::int64_t> characterOffsetOf(std::string_view utf8, std::int64_t units) {
  std::optional<std::int64_t> found;
  walk(utf8, [&](std::int64_t c, std::int64_t u) {
    if (u == units) found = c;
    return u >= units;
  });
  return found;
}

std::optional<std::pair<std::int64_t, std::int64_t>> characterRangeOf(std::string_view utf8,
                                                                      std::int64_t location,
                                                                      std::int64_t length) {
  if (length < 0) return std::nullopt;
  const auto from = characterOffsetOf(utf8, location);
  const auto to = characterOffsetOf(utf8, location + length);
  if (!from || !to) return std::nullopt;
  return std::pair{*from, *to};
}

}  // namespace orvix::platform::linux_desktop
