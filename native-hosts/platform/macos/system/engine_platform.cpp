#include <mach-o/dyld.h>

#include <array>
#include <cstdint>

#include "tools/sbc-decoder/engine_platform.h"
#include "tools/sbc-decoder/vx41_engine_loader.h"

namespace orvix::sbc_decoder {

std::optional<std::string> runningExecutablePath() {
  std::array<char, kMaximumPathLength + 1> buffer{};
  std::uint32_t size = static_cast<std::uint32_t>(buffer.size());
  if (_NSGetExecutablePath(buffer.data(), &size) != 0) return std::nullopt;  // longer than we take
  std::string path(buffer.data());
  if (path.empty() || path.size() > kMaximumPathLength) return std::nullopt;
  return path;
}

std::string_view openMpLibraryFileName() { return "libomp.dylib"; }
std::string_view engineLibraryFileName() { return "libvx41_qtr.dylib"; }

}  // namespace orvix::sbc_decoder
