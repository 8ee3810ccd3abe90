#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvix {

using Uuid = std::array<std::uint8_t, 16>;

enum class LetterCase { lower, upper };

// A new random (version 4) UUID.
Uuid randomUuid();

// The canonical 36-character text, e.g. "001120a0-2233-4455-6677-889912345678".
std::string uuidText(const Uuid& uuid, LetterCase letterCase);

// A new random UUID's canonical text.
std::string randomUuidText(LetterCase letterCase);

// Parses the canonical text in either letter case; anything else (braces, missing hyphens,
// trailing bytes) is absent.
std::optional<Uuid> parseUuid(std::string_view text);

}  // namespace orvix
