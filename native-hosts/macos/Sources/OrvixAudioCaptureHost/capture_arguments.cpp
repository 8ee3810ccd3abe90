#include "OrvixAudioCaptureHost/capture_arguments.h"

#include <map>

#include "common/utf8_repair.h"

namespace orvix::capture {

std::optional<Arguments> parseArguments(std::span<const std::string_view> values) {
  std::map<std::string_view, std::string_view> pairs;
  for (std::size_t i = 0; i + 1 < values.size(); i += 2) pairs[values[i]] = values[i + 1];

  const auto value = [&](std::string_view key) -> std::optional<std::string_view> {
    const auto found = pairs.find(key);
    if (found == pairs.end()) return std::nullopt;
    return found->second;
  };
  const auto sessionId = value("--session-id");
  const auto output = value("--output");
  const auto mode = value("--mode");
  const auto microphone = value("--microphone-enabled");
  if (!sessionId || !output || !mode || !microphone) return std::nullopt;
  if (*mode != "media" && *mode != "meeting") return std::nullopt;
  if (*microphone != "true" && *microphone != "false") return std::nullopt;

  Arguments arguments;
  // The session id goes back out in "recording.started", which only carries valid UTF-8; a stray
  // byte costs that byte, not the event. The output path stays as given: it names a file.
  arguments.sessionId = repairUtf8(*sessionId);
  arguments.outputPath = std::string(*output);
  arguments.meeting = *mode == "meeting";
  arguments.microphoneEnabled = arguments.meeting && *microphone == "true";
  return arguments;
}

}  // namespace orvix::capture
