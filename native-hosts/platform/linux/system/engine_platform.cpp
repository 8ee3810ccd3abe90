#include <unistd.h>

#include <array>

#include "tools/sbc-decoder/engine_platform.h"
#include "tools/sbc-decoder/vx41_engine_loader.h"

namespace orvix::sbc_decoder {

std::optional<std::string> runningExecutablePath() {
  std::array<char, kMaximumPathLength + 1> buffer{};
  const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
  // A result that fills the buffer may have been cut short.
  if (length <= 0 || static_cast<std::size_t>(length) > kMaximumPathLength) return std::nullopt;
  return std::string(buffer.data(), static_cast<std::size_t>(length));
}

// A Linux build of the engine ships as .so; looking for the macOS names here would always fail.
std::string_view openMpLibraryFileName() { return "libomp.so"; }
std::string_view engineLibraryFileName() { return "libvx41_qtr.so"; }

}  // namespace orvix::sbc_decoder
