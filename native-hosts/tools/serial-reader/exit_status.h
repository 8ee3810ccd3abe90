#pragma once

namespace orvix::serial_reader {

// The outcome the desktop application reads from the exit status; the numbers are its contract.
enum class ExitStatus : int {
  kOk = 0,                   // listing done, or standard input asked the relay to stop
  kUsage = 2,                // wrong arguments; nothing was opened
  kOpenFailed = 3,           // the device directory or the device cannot be opened
  kReadSettingsFailed = 4,   // the device's terminal settings cannot be read
  kApplySettingsFailed = 5,  // raw settings or the requested speed were refused
  kDeviceFailed = 6,         // the port failed, hung up, ended, or waiting on it failed
  kOutputFailed = 7,         // standard output could not take the bytes
};

inline int toExitCode(ExitStatus status) { return static_cast<int>(status); }

}  // namespace orvix::serial_reader
