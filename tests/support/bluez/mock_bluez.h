#pragma once

// BlueZ on a private bus, for the tests, the bench and the demo: a dbus-daemon of its own in a
// fresh temporary directory, python-dbusmock's "bluez5" template on it, and the recorder added
// through mock_recorder.py (adapter hci0, the recorder with its GATT service). Both daemons are
// started here and stopped by process id when the object goes. Constructing it points
// DBUS_SYSTEM_BUS_ADDRESS of this process at the private bus, so no binding made afterwards
// can reach the machine's own system bus. A daemon that cannot start throws with the reason.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct sd_bus;

namespace orvix::testing {

class MockBluez {
 public:
  static constexpr std::string_view kAdapterAddress = "00:01:02:03:04:05";
  static constexpr std::string_view kRecorderAddress = "C0:FF:EE:00:00:01";
  static constexpr std::string_view kRecorderName = "Orvix K7";

  MockBluez();
  ~MockBluez();
  MockBluez(const MockBluez&) = delete;
  MockBluez& operator=(const MockBluez&) = delete;

  // The private bus, as DBUS_SYSTEM_BUS_ADDRESS names it for a child process.
  const std::string& busAddress() const { return address_; }

  // The recorder's part. Each call returns once the mock has done it.
  void advertise(int rssi);
  void notify(std::string_view characteristic, const std::vector<std::uint8_t>& value);
  // Back to back; answers when each was sent, in seconds of CLOCK_MONOTONIC (steady_clock's).
  std::vector<double> notifyBurst(std::string_view characteristic, std::uint32_t count,
                                  std::uint32_t size);
  // "text", "oversized" (stream values) or "connected-text" (the device's link).
  void notifyMalformed(std::string_view kind);
  // A command notification sent by someone other than BlueZ, under BlueZ's object path.
  void spoofNotification(const std::vector<std::uint8_t>& value);
  void dropLink();
  void setPowered(bool powered);
  // Changes "PowerState" alone, as rfkill and power transitions do.
  void setPowerState(std::string_view state);
  void refuseConnections(bool refuse);
  // Whether AcquireNotify and AcquireWrite hand out sockets (they do at start) or refuse.
  void offerSockets(bool offer);
  struct Write {
    std::vector<std::uint8_t> bytes;
    std::string type;  // "request" (with response) or "command" (without)
  };
  std::vector<Write> writes();

 private:
  void control(const char* method, const char* types, ...);

  std::string directory_;
  std::string address_;
  pid_t busDaemon_ = -1;
  pid_t mock_ = -1;
  sd_bus* bus_ = nullptr;
};

}  // namespace orvix::testing
