#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvix::sbc_decoder {

// A deterministic stereo test signal: two tones that differ per channel with a slow level sweep,
// so that swapped channels, lost frames or shifted samples all show up in a comparison.
std::vector<std::int16_t> syntheticStereoSamples(std::int64_t frames, int sampleRate);

// Writes the signal as a Sun/NeXT audio file (the format sbcenc reads): 16-bit big-endian linear
// PCM, two channels. False when the file cannot be written.
bool writeSyntheticRecording(const std::string& path, std::int64_t frames, int sampleRate);

}  // namespace orvix::sbc_decoder
