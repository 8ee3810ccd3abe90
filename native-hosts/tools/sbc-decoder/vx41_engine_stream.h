#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "tools/sbc-decoder/byte_streams.h"
#include "tools/sbc-decoder/failure_code.h"
#include "tools/sbc-decoder/pickup_mode.h"
#include "tools/sbc-decoder/sbc_frame_decoder.h"
#include "tools/sbc-decoder/vx41_engine_api.h"

namespace orvix::sbc_decoder {

// Feeds decoded audio through one engine instance and writes what it returns, so that every
// segment (the stretch between two pickup-mode changes) comes out exactly as long as it went in:
// the engine's output is cut at the frames fed, two silent blocks at the end of a segment push its
// delayed tail out, and after a mid-stream mode change the engine's first 1,024 frames (its
// transition) are dropped.
//
// Every method returns the failure code to print, or nothing on success. After a failure the
// stream must not be used again.
class Vx41EngineStream {
 public:
  Vx41EngineStream(const Vx41Functions& engine, void* handle, PickupMode initialMode,
                   OutputStream& output);

  PickupMode mode() const { return mode_; }

  // Ends the current segment and switches the engine to `mode`.
  std::optional<FailureCode> changeMode(PickupMode mode);
  // Queues one decoded SBC frame and hands a full block to the engine.
  std::optional<FailureCode> append(const PcmFrame& pcm);
  // Pushes the segment's tail out and checks nothing was lost.
  std::optional<FailureCode> drain();

  static constexpr std::int64_t kTransitionFrames = 1024;

 private:
  static constexpr int kChannels = 2;
  static constexpr int kMaximumFramesPerWrite = 512;

  // Hands the block (whatever is in it, zero past blockFrames_) to the engine, writes what comes
  // back up to `limit` frames of this segment, and clears the block.
  std::optional<FailureCode> runStep(std::int64_t limit);
  std::optional<FailureCode> writePlanes(const std::int16_t* planes, std::int64_t planeLength,
                                         std::int64_t from, std::int64_t count);

  const Vx41Functions& engine_;
  void* const handle_;
  OutputStream& output_;

  PickupMode mode_;
  std::array<std::int16_t, kVx41BlockFrames * kChannels> block_{};
  std::int32_t blockFrames_ = 0;
  std::int64_t inputFrames_ = 0;
  std::int64_t outputFrames_ = 0;
  std::int64_t skipFrames_ = 0;

  std::array<float, kVx41BlockFrames * kChannels> samples_{};
  std::array<std::byte, kMaximumFramesPerWrite * kChannels * 2> chunk_{};
};

}  // namespace orvix::sbc_decoder
