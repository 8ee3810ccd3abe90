#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvix::capture {

// Every written track, and the screen-capture stream, runs at this rate, one channel.
inline constexpr double sampleRate = 16000;
inline constexpr int schemaVersion = 1;

// Wait before each restart of a stream the system stopped; the list's length is the limit.
inline constexpr std::array<std::uint64_t, 4> systemStreamRetryDelaysNanoseconds = {
    2'000'000'000, 5'000'000'000, 15'000'000'000, 30'000'000'000};
// A stream that ran this long before stopping earns a fresh count of restarts.
inline constexpr std::uint64_t systemStreamStableResetNanoseconds = 60'000'000'000;
inline constexpr std::uint64_t captureStallThresholdNanoseconds = 750'000'000;
inline constexpr std::uint64_t captureGapFillLatencyNanoseconds = 250'000'000;
inline constexpr std::uint64_t microphoneStallNanoseconds = 2'000'000'000;
inline constexpr double systemAudioStartupTimeoutSeconds = 1.0;
inline constexpr std::uint64_t systemAudioStartupRetryDelayNanoseconds = 250'000'000;

inline constexpr std::uint64_t progressIntervalNanoseconds = 250'000'000;
inline constexpr std::uint32_t microphoneTapBufferFrames = 1024;
// A first microphone buffer is aligned to the system track with silence in pieces this large.
inline constexpr std::int64_t microphoneAlignmentPieceSamples = 16000;

// Queue labels derive from the application identifier prefix.
inline constexpr const char* applicationIdentifierPrefix = "com.orvix";

inline std::string queueLabel(std::string_view suffix) {
  return std::string(applicationIdentifierPrefix) + std::string(suffix);
}

}  // namespace orvix::capture
