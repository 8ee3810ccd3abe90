#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace orvix::testing {

// A host session written down. Lines of "> " are sent to the host (">" alone sends an empty
// line) and lines of "< " are expected from it, in order; anything else (blank lines, "#"
// comments) is for the reader. In an expected line, ${platform} stands for the name of the
// platform the host was built for.
struct Transcript {
  std::string input;                  // every line to send, LF-terminated
  std::vector<std::string> expected;   // the expected output lines, without LF
};

// Absent when the file cannot be read.
std::optional<Transcript> readTranscript(const std::filesystem::path& path);

}  // namespace orvix::testing
