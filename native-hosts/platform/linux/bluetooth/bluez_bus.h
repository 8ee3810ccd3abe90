#pragma once

// The binding's one connection to the system bus, served by a thread of its own: sd-bus is not
// thread-safe, so every sd-bus call happens there. The main thread hands it method calls; it
// hands back, as tasks posted to the main run loop, the object tree BlueZ publishes, every
// change of it and every reply, in the order the bus delivered them. Nothing is delivered from
// inside call() or after destruction.
//
// The bus is the one named by DBUS_SYSTEM_BUS_ADDRESS, or the machine's system bus without it
// (sd_bus_open_system), so tests point the binding at a private bus through the environment.
// A bus that goes away (the daemon stopped or restarted) is connected to again, with back-off.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/time/run_loop.h"
#include "platform/linux/bluetooth/bluez_values.h"

namespace orvix::platform::linux_bluetooth {

// Every callback runs on the main loop.
class BluezBusListener {
 public:
  virtual ~BluezBusListener() = default;
  // The whole tree, at start and whenever BlueZ (re)appears. `failure`: the bus or BlueZ could
  // not be asked (an access refusal among them), or the bus went away; the tree is then empty.
  virtual void busObjectsLoaded(const std::optional<BusError>& failure, ObjectMap objects) = 0;
  // BlueZ left the bus (bluetoothd stopped, crashed or is restarting): none of its objects holds.
  virtual void busServiceGone() = 0;
  virtual void busInterfacesAdded(const std::string& path, InterfaceMap interfaces) = 0;
  virtual void busInterfacesRemoved(const std::string& path,
                                    const std::vector<std::string>& interfaces) = 0;
  virtual void busPropertiesChanged(const std::string& path, const std::string& interface,
                                    PropertyMap changed,
                                    const std::vector<std::string>& invalidated) = 0;
  // `count` notified values of the characteristic `path` were dropped at the bound on values not
  // yet handed over; told before any later value of that characteristic.
  virtual void busValuesLost(const std::string& path, std::size_t count) = 0;
};

// One method call on an org.bluez object. The few argument shapes BlueZ's calls need:
struct BusCall {
  enum class Arguments { none, discoveryFilter, writeValue };
  std::string path;
  std::string interface;
  std::string method;
  Arguments arguments = Arguments::none;
  // discoveryFilter: {"Transport": "le", "DuplicateData": b, "RSSI": n}
  bool duplicateData = false;
  std::int16_t rssiFloor = -127;
  std::vector<std::uint8_t> value;    // writeValue: the bytes
  std::string writeType;              // writeValue: {"type": "request" | "command"}
};

// A call of `method` on the BlueZ object at `path`, as yet without arguments.
inline BusCall objectCall(std::string path, std::string_view interface, const char* method) {
  BusCall call;
  call.path = std::move(path);
  call.interface = std::string(interface);
  call.method = method;
  return call;
}

using BusReply = std::function<void(const std::optional<BusError>& error)>;
// With the ATT MTU BlueZ gave with the socket.
using MtuReply = std::function<void(const std::optional<BusError>& error, std::uint16_t mtu)>;

class BluezBus {
 public:
  // Notified values posted but not yet run beyond which further values are dropped and counted
  // (busValuesLost): memory stays bounded while the bus daemon, which would drop signals for a
  // client that stops reading, is never made to.
  static constexpr std::size_t kMaximumPendingValues = 4096;
  // Deliveries of any kind beyond which the bus thread stops reading the bus until the main loop
  // catches up; only a flood of other changes reaches it.
  static constexpr std::size_t kMaximumPendingDeliveries = 4 * kMaximumPendingValues;

  BluezBus(RunLoop& mainLoop, BluezBusListener& listener);
  ~BluezBus();  // stops and joins the bus thread; main thread only
  BluezBus(const BluezBus&) = delete;
  BluezBus& operator=(const BluezBus&) = delete;

  // Sends the call; `reply` comes later on the main loop with the outcome.
  void call(BusCall call, BusReply reply);
  // AcquireWrite on the characteristic `path` for the MTU it answers with; the socket is closed
  // at once, so BlueZ takes WriteValue on the characteristic again.
  void acquireWriteMtu(std::string path, MtuReply reply);
  // Blocks the calling (main) thread until every call made so far has been sent and answered,
  // or `limit` passed; for the last requests of a process about to exit. Their replies are not
  // delivered until the main loop runs again.
  void finishCalls(Duration limit);

 private:
  class Worker;
  std::unique_ptr<Worker> worker_;
};

}  // namespace orvix::platform::linux_bluetooth
