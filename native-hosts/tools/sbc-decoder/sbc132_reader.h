#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "tools/sbc-decoder/byte_streams.h"
#include "tools/sbc-decoder/pickup_mode.h"

namespace orvix::sbc_decoder {

inline constexpr std::size_t kSbcFrameBytes = 128;
inline constexpr std::size_t kRecordHeaderBytes = 4;
inline constexpr std::uint8_t kRecordVersion = 1;

// One SBC frame and the pickup mode it was recorded in.
struct Sbc132Record {
  PickupMode pickupMode = PickupMode::kOmnidirectional;
  std::array<std::byte, kSbcFrameBytes> frame{};
};

enum class ReadOutcome {
  kRecord,      // a whole record is in
  kEndOfInput,  // the input ended cleanly between records
  kInvalid,     // a truncated record, a header that breaks a rule, or a read that failed
};

// Cuts the input into records. Framed input is "SBC132": a 4-byte header (version 1, mode 0 or 2,
// two zero bytes) before each 128-byte frame. Bare input is back-to-back 128-byte frames, all in
// the mode given on the command line.
class Sbc132Reader {
 public:
  Sbc132Reader(InputStream& input, bool framed, PickupMode bareMode)
      : input_(input), framed_(framed), bareMode_(bareMode) {}

  // Never reads past the record it returns, so a live pipe is decoded as it arrives.
  ReadOutcome read(Sbc132Record& record);

 private:
  // Keeps reading after short reads until the buffer is full or a read returns nothing.
  std::size_t readFully(std::span<std::byte> buffer);
  // Nothing read at all: a clean end only when the stream says it ended.
  ReadOutcome nothingRead() const;

  InputStream& input_;
  const bool framed_;
  const PickupMode bareMode_;
};

}  // namespace orvix::sbc_decoder
