#include "support/file_text.h"

#include <fstream>
#include <iterator>

namespace orvix::testing {

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace orvix::testing
