#include "tools/serial-reader/device_listing.h"

#include "tools/serial-reader/output_writer.h"
#include "tools/serial-reader/serial_device_names.h"

namespace orvix::serial_reader {

ExitStatus listSerialDevices(SerialSystem& system, const std::string& directory, int outputFd) {
  bool outputFailed = false;
  std::string line;
  const bool opened = system.listDirectory(directory, [&](std::string_view name) {
    if (!isSerialDeviceName(name)) return true;
    // The caller opens what we print, so the path names the device node, not where we looked.
    line.assign("/dev/").append(name).push_back('\n');
    const auto* bytes = reinterpret_cast<const std::byte*>(line.data());
    outputFailed = writeAll(system, outputFd, -1, bytes, line.size()) != WriteOutcome::kWritten;
    return !outputFailed;
  });
  if (!opened) return ExitStatus::kOpenFailed;
  return outputFailed ? ExitStatus::kOutputFailed : ExitStatus::kOk;
}

}  // namespace orvix::serial_reader
