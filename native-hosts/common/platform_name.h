#pragma once

#include <string_view>

namespace orvix {

// The operating system the program was built for, as the hosts name it on the wire
// ("darwin", "linux").
std::string_view platformName();

}  // namespace orvix
