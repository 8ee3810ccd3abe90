#pragma once

#include <optional>
#include <string_view>

#include "platform/simulated/desktop/desktop_types.h"

namespace orvix::platform::simulated {

// The state an element of `kind` starts with: its role and subrole, its settable attributes,
// how it takes a paste, and the failures a real one of its kind shows (a web area answers no
// "AXValue", a secure field withholds its value).
ElementState elementDefaults(ElementKind kind);

// Whether elements of `kind` hold text (and so start with "" and a caret).
bool holdsText(ElementKind kind);

// The names scenario files use: "text-field", "web-text-area", ...
std::optional<ElementKind> elementKindNamed(std::string_view name);

}  // namespace orvix::platform::simulated
