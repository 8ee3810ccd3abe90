#pragma once

namespace orvix::sbc_decoder {

// The outcome the desktop application reads from the exit status; the numbers are its contract.
enum class ExitStatus : int {
  kOk = 0,                 // the whole input was processed and standard output flushed
  kUsage = 2,              // wrong arguments; nothing was opened or read
  kInputUnavailable = 3,   // the input file cannot be opened, or standard input is closed
  kOutputUnavailable = 4,  // standard output cannot be made unbuffered (or is closed)
  kDecoderInitFailed = 5,  // the SBC codec could not be set up
  kProcessingFailed = 6,   // a record, the codec, the engine, a read or a write failed
};

inline int toExitCode(ExitStatus status) { return static_cast<int>(status); }

}  // namespace orvix::sbc_decoder
