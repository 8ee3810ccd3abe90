#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace orvix::capture {

// The recording session as the desktop application describes it on the command line.
struct Arguments {
  std::string sessionId;
  std::string outputPath;
  bool meeting = false;
  bool microphoneEnabled = false;
};

// Reads key/value pairs: a trailing key without a value is ignored, the last of two equal keys
// wins, unknown keys are ignored. Absent when a required key is missing or "--mode" or
// "--microphone-enabled" has another value. In media mode the microphone is off whatever the
// flag says.
std::optional<Arguments> parseArguments(std::span<const std::string_view> values);

}  // namespace orvix::capture
