#pragma once

// BlueZ on a private bus, for the tests, the bench and the demo: a dbus-daemon of its own in a
// fresh temporary directory, python-dbusmock's "bluez5" template on it, and the recorder ("Orvix
// K7", C0:FF:EE:00:00:01) added through mock_recorder.py, which behaves as bluetoothd 5.66 does
// (discovery sessions per client, the recorder's device object only once heard, GATT objects after
// the first connection). Both daemons are started here and stopped by process id when the object
// goes. Constructing it points DBUS_SYSTEM_BUS_ADDRESS of this process at the private bus, so no
// binding made afterwards can reach the machine's own system bus. A daemon that cannot start
// throws with the reason.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sd_bus;
struct sd_bus_message;

namespace orvix::testing {

class MockBluez {
 public:
  struct Options {
    // Characteristics carry "MTU", as BlueZ 5.62 and later do; false plays an older BlueZ.
    bool mtuProperty = true;
  };

  MockBluez();
  explicit MockBluez(Options options);
  ~MockBluez();
  MockBluez(const MockBluez&) = delete;
  MockBluez& operator=(const MockBluez&) = delete;

  // The private bus, "unix:path=DIR/bus", the same across restartBus(); as
  // DBUS_SYSTEM_BUS_ADDRESS names it for a child process.
  const std::string& busAddress() const { return address_; }

  bool discovering();  // Adapter1 "Discovering"

  // What the recorder does. Each call returns once the mock has done it.
  // One advertisement; heard (true) only while some client discovers.
  bool advertise(int rssi);
  // The recorder keeps advertising every `interval` at `rssi` (0 ms stops); heard only while
  // discovering. It goes on across restartBluez() and restartBus(), as a device's radio would.
  void advertiseEvery(std::chrono::milliseconds interval, int rssi);
  // bluetoothd's TemporaryTimeout (30 s unless set): how long an unheard, never connected device
  // object outlives its last advertisement.
  void setTemporaryTimeout(std::chrono::milliseconds timeout);
  // One notification, delivered as bluetoothd would (only while connected and subscribed).
  void notify(std::string_view characteristic, const std::vector<std::uint8_t>& value);
  // Back to back, the bytes counting on from one packet to the next; answers when each was sent,
  // in seconds of CLOCK_MONOTONIC (steady_clock's).
  std::vector<double> notifyBurst(std::string_view characteristic, std::uint32_t count,
                                  std::uint32_t size);
  // Notifications in the given order ("command"/"stream" each), one every `spacing` (0 = back to
  // back), each value `size` bytes (>= 4) beginning with its 0-based index in the sequence as 4
  // bytes big-endian; answers the CLOCK_MONOTONIC send time of each, in seconds.
  std::vector<double> notifySequence(const std::vector<std::string>& characteristics,
                                     std::chrono::microseconds spacing, std::uint32_t size);
  // "text", "oversized" (stream values) or "connected-text" (the device's link).
  void notifyMalformed(std::string_view kind);
  // A command notification sent by someone other than BlueZ, under BlueZ's object path.
  void spoofNotification(const std::vector<std::uint8_t>& value);
  void dropLink();
  void setPowered(bool powered);
  // Changes "PowerState" alone, as rfkill and power transitions do.
  void setPowerState(std::string_view state);
  // The recorder out of reach: Connect fails as bluetoothd's does for an unreachable LE device.
  void refuseConnections(bool refuse);
  struct Write {
    std::vector<std::uint8_t> bytes;
    std::string type;  // "request" (with response) or "command" (without)
  };
  std::vector<Write> writes();

  // Every BlueZ method call the mock served, in order: method name, object path, the error name
  // it answered with ("" for success, "(pending)" while unanswered), and for SetDiscoveryFilter
  // the filter's keys ("Transport=le,DuplicateData=true,RSSI=-127").
  struct Call {
    std::string method;
    std::string path;
    std::string error;
    std::string detail;
  };
  std::vector<Call> calls();

  // bluetoothd stops and a fresh one takes org.bluez (a new unique name): device objects gone,
  // the adapter back and powered. The recorder's radio, its settings and bluetoothd's
  // TemporaryTimeout stay.
  void restartBluez();
  // The system bus goes (with bluetoothd) and comes back at the same address.
  void restartBus();

 private:
  void startBus();
  void stopBus();
  // A fresh mock taking org.bluez from `previousOwner` (none at first), the recorder added and
  // told again what the last one was told.
  void startMock(const std::string& previousOwner = {});
  sd_bus_message* newCall(const char* method);
  // Sends `call` and unrefs it; answers the reply, which the caller unrefs. Throws if refused.
  sd_bus_message* send(sd_bus_message* call, const char* method, std::uint64_t timeoutUsec = 0);
  // A call whose arguments sd_bus_message_append() takes as `types` says; the reply dropped.
  void control(const char* method, const char* types, ...);

  Options options_;
  std::string directory_;
  std::string address_;
  pid_t busDaemon_ = -1;
  pid_t mock_ = -1;
  sd_bus* bus_ = nullptr;
  std::chrono::milliseconds advertisingInterval_{0};
  int advertisingRssi_ = 0;
  std::optional<std::chrono::milliseconds> temporaryTimeout_;
  bool refusingConnections_ = false;
};

}  // namespace orvix::testing
