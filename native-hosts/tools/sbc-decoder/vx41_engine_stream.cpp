#include "tools/sbc-decoder/vx41_engine_stream.h"

#include <algorithm>

namespace orvix::sbc_decoder {

Vx41EngineStream::Vx41EngineStream(const Vx41Functions& engine, void* handle,
                                   PickupMode initialMode, OutputStream& output)
    : engine_(engine), handle_(handle), output_(output), mode_(initialMode) {}

std::optional<FailureCode> Vx41EngineStream::changeMode(PickupMode mode) {
  if (auto failure = drain()) return failure;
  const std::int32_t value = static_cast<std::int32_t>(mode);
  if (!vx41Succeeded(engine_.setParam(handle_, kVx41PickupModeParameter, &value))) {
    return FailureCode::kModeChangeFailed;
  }
  // A change before any audio costs the engine nothing; a change mid-stream makes it emit a
  // transition that is not part of either segment.
  skipFrames_ = inputFrames_ > 0 ? kTransitionFrames : 0;
  mode_ = mode;
  blockFrames_ = 0;
  inputFrames_ = 0;
  outputFrames_ = 0;
  return std::nullopt;
}

std::optional<FailureCode> Vx41EngineStream::append(const PcmFrame& pcm) {
  // libsbc was asked for little-endian samples; assemble them explicitly so the numeric value is
  // right on any host.
  std::int16_t* destination = block_.data() + static_cast<std::ptrdiff_t>(blockFrames_) * kChannels;
  for (std::size_t i = 0; i < pcm.size(); i += 2) {
    const auto low = std::to_integer<std::uint16_t>(pcm[i]);
    const auto high = std::to_integer<std::uint16_t>(pcm[i + 1]);
    *destination++ = static_cast<std::int16_t>(static_cast<std::uint16_t>(low | (high << 8)));
  }
  blockFrames_ += static_cast<std::int32_t>(kPcmFramesPerSbcFrame);
  inputFrames_ += static_cast<std::int64_t>(kPcmFramesPerSbcFrame);
  if (blockFrames_ < kVx41BlockFrames) return std::nullopt;
  return runStep(inputFrames_);
}

std::optional<FailureCode> Vx41EngineStream::drain() {
  if (inputFrames_ == 0) return std::nullopt;
  if (blockFrames_ > 0) {
    if (auto failure = runStep(inputFrames_)) return failure;
  }
  for (int i = 0; i < 2; ++i) {
    if (auto failure = runStep(inputFrames_)) return failure;
  }
  if (outputFrames_ != inputFrames_) return FailureCode::kOutputIncomplete;
  return std::nullopt;
}

std::optional<FailureCode> Vx41EngineStream::runStep(std::int64_t limit) {
  // Same numeric value, no scaling: the engine works on the 16-bit range directly.
  std::copy(block_.begin(), block_.end(), samples_.begin());
  // Cleared on every step, not only after a full block, so that a partial block at the end of a
  // later segment never carries audio left over from an earlier one.
  block_.fill(0);
  blockFrames_ = 0;

  if (!vx41Succeeded(engine_.appendAudioData(handle_, samples_.data(), kVx41BlockFrames))) {
    return FailureCode::kAppendFailed;
  }
  std::int16_t* out = nullptr;
  std::array<std::int32_t, 2> lengths{};
  std::int16_t kind = -1;
  if (!vx41Succeeded(engine_.runStep(handle_, &out, lengths.data(), &kind))) {
    return FailureCode::kRunFailed;
  }

  if (kind == kVx41OutputNone) {
    if (out != nullptr || lengths[0] != 0) return FailureCode::kOutputInvalid;
    return std::nullopt;
  }
  const std::int64_t n = lengths[0];
  if (kind != kVx41OutputPlanes || n < 0 || out == nullptr || lengths[1] != lengths[0] ||
      outputFrames_ > limit) {
    return FailureCode::kOutputInvalid;
  }

  const std::int64_t skipped = std::min(n, skipFrames_);
  skipFrames_ -= skipped;
  const std::int64_t count = std::min(n - skipped, limit - outputFrames_);
  return writePlanes(out, n, skipped, count);
}

std::optional<FailureCode> Vx41EngineStream::writePlanes(const std::int16_t* planes,
                                                         std::int64_t planeLength,
                                                         std::int64_t from, std::int64_t count) {
  const std::int16_t* first = planes + from;
  const std::int16_t* second = planes + planeLength + from;
  while (count > 0) {
    const std::int64_t frames = std::min<std::int64_t>(count, kMaximumFramesPerWrite);
    std::byte* at = chunk_.data();
    for (std::int64_t j = 0; j < frames; ++j) {
      for (const std::int16_t sample : {first[j], second[j]}) {
        const auto bits = static_cast<std::uint16_t>(sample);
        *at++ = static_cast<std::byte>(bits & 0xFF);
        *at++ = static_cast<std::byte>(bits >> 8);
      }
    }
    if (!output_.write(std::span<const std::byte>(chunk_.data(), at))) {
      return FailureCode::kOutputWriteFailed;
    }
    outputFrames_ += frames;
    first += frames;
    second += frames;
    count -= frames;
  }
  return std::nullopt;
}

}  // namespace orvix::sbc_decoder
