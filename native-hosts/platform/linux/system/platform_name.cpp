#include "common/platform_name.h"

namespace orvix {
std::string_view platformName() { return "linux"; }
}  // namespace orvix
