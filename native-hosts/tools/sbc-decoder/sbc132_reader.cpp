#include "tools/sbc-decoder/sbc132_reader.h"

#include <optional>

namespace orvix::sbc_decoder {

std::size_t Sbc132Reader::readFully(std::span<std::byte> buffer) {
  std::size_t total = 0;
  while (total < buffer.size()) {
    const std::size_t n = input_.read(buffer.subspan(total));
    if (n == 0) break;
    total += n;
  }
  return total;
}

ReadOutcome Sbc132Reader::nothingRead() const {
  return input_.atEnd() ? ReadOutcome::kEndOfInput : ReadOutcome::kInvalid;
}

ReadOutcome Sbc132Reader::read(Sbc132Record& record) {
  if (framed_) {
    std::array<std::byte, kRecordHeaderBytes> header{};
    const std::size_t got = readFully(header);
    if (got == 0) return nothingRead();
    if (got < header.size()) return ReadOutcome::kInvalid;
    const std::optional<PickupMode> mode =
        pickupModeFromByte(std::to_integer<std::uint8_t>(header[1]));
    if (std::to_integer<std::uint8_t>(header[0]) != kRecordVersion || !mode ||
        header[2] != std::byte{0} || header[3] != std::byte{0}) {
      return ReadOutcome::kInvalid;
    }
    // A header promises a frame: running out here is a truncated record, not the end.
    if (readFully(record.frame) < record.frame.size()) return ReadOutcome::kInvalid;
    record.pickupMode = *mode;
    return ReadOutcome::kRecord;
  }

  const std::size_t got = readFully(record.frame);
  if (got == 0) return nothingRead();
  if (got < record.frame.size()) return ReadOutcome::kInvalid;
  record.pickupMode = bareMode_;
  return ReadOutcome::kRecord;
}

}  // namespace orvix::sbc_decoder
