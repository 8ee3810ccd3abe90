#include "support/platform_placeholder.h"

#include <string_view>

#include "common/platform_name.h"

namespace orvix::testing {

std::string withPlatformName(std::string line) {
  static constexpr std::string_view kPlaceholder = "${platform}";
  for (auto at = line.find(kPlaceholder); at != std::string::npos; at = line.find(kPlaceholder)) {
    line.replace(at, kPlaceholder.size(), platformName());
  }
  return line;
}

}  // namespace orvix::testing
