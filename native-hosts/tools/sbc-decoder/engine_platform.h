#pragma once

#include <optional>
#include <string>
#include <string_view>

// What finding and loading the engine needs from the operating system. One implementation per
// platform (platform/<platform>/system/engine_platform.cpp), chosen by ORVIX_PLATFORM.
namespace orvix::sbc_decoder {

// The running executable's path as the system reports it; absent when the system cannot say or
// the path is longer than the decoder handles.
std::optional<std::string> runningExecutablePath();

// File names, with the platform's shared-library suffix, under "vx41/lib/" beside the executable.
std::string_view openMpLibraryFileName();
std::string_view engineLibraryFileName();

}  // namespace orvix::sbc_decoder
