#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace orvix::testing {

// The whole content of the file at `path`; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);

// The lines of `text` without their LF; a last line without LF counts too.
std::vector<std::string> linesOf(const std::string& text);

}  // namespace orvix::testing
