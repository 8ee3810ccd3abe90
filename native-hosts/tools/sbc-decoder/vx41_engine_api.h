#pragma once

// The calling convention of the closed VX41 audio-enhancement engine, as both the decoder and the
// stand-in engine see it. Every function returns a status: above 1 means failure.
#include <cstdint>

extern "C" {
using Vx41CreateFunction = int (*)(void** handle, const char* configurationPath);
using Vx41AppendAudioDataFunction = int (*)(void* handle, const float* interleavedSamples,
                                            std::int32_t frameCount);
// output: two planes of lengths[0] samples each, the first channel's before the second's, owned
// by the engine until its next call. kind 0: nothing this step; kind 2: the planes.
using Vx41RunStepFunction = int (*)(void* handle, std::int16_t** output, std::int32_t* lengths,
                                    std::int16_t* kind);
using Vx41SetParamFunction = int (*)(void* handle, std::uint32_t parameter,
                                     const std::int32_t* value);
using Vx41DelFunction = int (*)(void* handle);
}

namespace orvix::sbc_decoder {

struct Vx41Functions {
  Vx41CreateFunction create = nullptr;
  Vx41AppendAudioDataFunction appendAudioData = nullptr;
  Vx41RunStepFunction runStep = nullptr;
  Vx41SetParamFunction setParam = nullptr;
  Vx41DelFunction del = nullptr;
};

inline constexpr std::uint32_t kVx41PickupModeParameter = 0x10000009;
inline constexpr std::int32_t kVx41BlockFrames = 512;
inline constexpr std::int16_t kVx41OutputNone = 0;
inline constexpr std::int16_t kVx41OutputPlanes = 2;

// The engine documents 0 and 1 as success and only a status above 1 as failure; a negative
// status is not one of its failures, so it counts as success.
constexpr bool vx41Succeeded(int status) { return status <= 1; }

}  // namespace orvix::sbc_decoder
