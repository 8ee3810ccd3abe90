#pragma once

#include <string_view>

namespace orvix {

// The operating system the program was built for, as the hosts name it on the wire
// ("darwin", "linux"). Defined by platform/<platform>/system/platform_name.cpp, chosen by
// ORVIX_PLATFORM.
std::string_view platformName();

}  // namespace orvix
