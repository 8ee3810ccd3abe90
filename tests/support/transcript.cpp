#include "support/transcript.h"

#include <fstream>

#include "support/platform_placeholder.h"

namespace orvix::testing {

std::optional<Transcript> readTranscript(const std::filesystem::path& path) {
  std::ifstream file(path);
  if (!file) return std::nullopt;
  Transcript transcript;
  for (std::string line; std::getline(file, line);) {
    if (line == ">") transcript.input += "\n";
    if (line.starts_with("> ")) transcript.input += line.substr(2) + "\n";
    if (line.starts_with("< ")) transcript.expected.push_back(withPlatformName(line.substr(2)));
  }
  return transcript;
}

}  // namespace orvix::testing
