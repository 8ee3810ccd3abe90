#pragma once

// The binding's one connection to the system bus, served by a thread of its own: sd-bus is not
// thread-safe, so every sd-bus call happens there. The main thread hands it method calls; it
// hands back, as tasks posted to the main run loop, the object tree BlueZ publishes, every
// change of it and every reply. Nothing is delivered from inside call() or after destruction.
//
// The bus is the one named by DBUS_SYSTEM_BUS_ADDRESS, or the machine's system bus without it
// (sd_bus_open_system), so tests point the binding at a private bus through the environment.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/time/run_loop.h"
#include "platform/linux/bluetooth/acquired_sockets.h"
#include "platform/linux/bluetooth/bluez_values.h"

namespace orvix::platform::linux_bluetooth {

// Every callback runs on the main loop.
class BluezBusListener {
 public:
  virtual ~BluezBusListener() = default;
  // The whole tree, at start and whenever BlueZ (re)appears or goes (then empty). `failure`:
  // the bus or BlueZ could not be asked (an access refusal among them).
  virtual void busObjectsLoaded(const std::optional<BusError>& failure, ObjectMap objects) = 0;
  virtual void busInterfacesAdded(const std::string& path, InterfaceMap interfaces) = 0;
  virtual void busInterfacesRemoved(const std::string& path,
                                    const std::vector<std::string>& interfaces) = 0;
  virtual void busPropertiesChanged(const std::string& path, const std::string& interface,
                                    PropertyMap changed,
                                    const std::vector<std::string>& invalidated) = 0;
  // One notification read from the acquired notification socket of the characteristic `path`.
  virtual void busSocketValue(const std::string& path, std::vector<std::uint8_t> value) = 0;
  // BlueZ closed an acquired socket (the link or the subscription ended).
  virtual void busSocketClosed(const std::string& path, SocketKind kind) = 0;
};

// One method call on an org.bluez object. The few argument shapes BlueZ's calls need:
struct BusCall {
  enum class Arguments { none, discoveryFilter, writeValue };
  std::string path;
  std::string interface;
  std::string method;
  Arguments arguments = Arguments::none;
  bool duplicateData = false;         // discoveryFilter: {"Transport": "le", "DuplicateData": b}
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
using AcquireReply = std::function<void(const std::optional<BusError>& error, std::uint16_t mtu)>;

class BluezBus {
 public:
  // Posted-but-not-yet-run deliveries beyond which the bus thread stops reading the bus until
  // the main loop catches up: a flood waits in the socket and in the bus daemon, not here.
  static constexpr std::size_t kMaximumPendingDeliveries = 4096;

  BluezBus(RunLoop& mainLoop, BluezBusListener& listener);
  ~BluezBus();  // stops and joins the bus thread; main thread only
  BluezBus(const BluezBus&) = delete;
  BluezBus& operator=(const BluezBus&) = delete;

  // Sends the call; `reply` comes later on the main loop with the outcome.
  void call(BusCall call, BusReply reply);
  // AcquireNotify or AcquireWrite on the characteristic `path`; the bus thread then owns the
  // socket: notifications arrive through busSocketValue, writes go through writeToSocket, and
  // its end arrives through busSocketClosed unless release() came first.
  void acquire(std::string path, SocketKind kind, AcquireReply reply);
  void release(std::string path, SocketKind kind);
  // One write without response on the acquired write socket; `written` comes later on the main
  // loop, true once the socket took it.
  void writeToSocket(std::string path, std::vector<std::uint8_t> bytes,
                     std::function<void(bool written)> written);

 private:
  class Worker;
  std::unique_ptr<Worker> worker_;
};

}  // namespace orvix::platform::linux_bluetooth
