#pragma once

#include <filesystem>
#include <string>

namespace orvix::testing {

// The whole content of the file at `path`; empty when it cannot be read.
std::string readFile(const std::filesystem::path& path);

}  // namespace orvix::testing
