#pragma once

// How BlueZ's facts become the central manager's. Where the two do not match one to one:
//
// - Adapter state: the first org.bluez.Adapter1 in the object tree (hci0 before hci1) is the
//   adapter. No reachable bus, no BlueZ on it, or no adapter: unsupported. A bus that refuses
//   access (AccessDenied): unauthorized. "PowerState" (BlueZ 5.64+) wins over "Powered" when
//   present: "on" powered-on; "off" and "off-blocked" (rfkill) powered-off; "off-enabling" and
//   "on-disabling" (in transit) resetting. Without it "Powered" alone decides. Before the first
//   answer of BlueZ: unknown.
// - Authorization: BlueZ has no permission of its own; the bus's policy stands in for it. It is
//   allowed until the bus refuses the binding (AccessDenied), then denied for the process.
// - Identity: a peripheral's identifier is a name-based (SHA-1, version 5) UUID of the adapter's
//   address and the device's address, so it is the same in every scan, after the device object
//   is removed and found again, and in every run on the same adapter. BlueZ's random resolvable
//   addresses change, as CoreBluetooth's identifiers do for such devices.
// - Retrieval: the devices the system knows are the Device1 objects under the adapter (BlueZ's
//   cache); the connected ones are those with "Connected" whose "UUIDs" hold a wanted service.
// - Advertisements: BlueZ reports the device object, not the advertisement. While this client
//   scans, a new Device1 object and every change of its "RSSI", "Name", "UUIDs" or "TxPower"
//   count as one advertisement (BlueZ sends "RSSI" with each advertisement it reports). "Name" is the
//   advertised local name; "UUIDs" (BlueZ's union of the advertised and the resolved services)
//   stand for the advertised service list; there are no overflow services. A missing "RSSI"
//   is reported as 127 ("not available").
// - The cached name of a peripheral is "Alias" unless that is BlueZ's stand-in made of the
//   address, then "Name"; otherwise none.
// - Scanning state is this client's own: BlueZ's "Discovering" also counts other clients.
// - Characteristic properties come from "Flags"; only the flags that have a bit in the Bluetooth
//   core standard's property field are mapped (broadcast, read, write-without-response, write,
//   notify, indicate, authenticated-signed-writes, extended-properties).
// - Links: connect is Device1.Connect and a link is up when "Connected" is; it ends when
//   "Connected" goes false or the device object goes. A pending attempt ends when BlueZ gives
//   up (its own LE connection timeout, or the call's 25 s reply limit), reported as a failed
//   connection, where CoreBluetooth would wait on; cancelling a pending attempt (Disconnect)
//   reports nothing, as CoreBluetooth's does.
// - Service discovery is BlueZ's own: "ServicesResolved", then the GattService1 and
//   GattCharacteristic1 objects under the device; nothing is asked of the device.
// - Notifications: the packets of AcquireNotify's socket where offered, else "Value" changes of
//   a StartNotify session; the subscription's confirmation is the call's reply, its loss the
//   socket's end or "Notifying" going false.
// - Write lengths: without response, the ATT MTU minus 3: the MTU AcquireWrite answered with,
//   else the largest "MTU" of the device's characteristics (23 when BlueZ does not say); with
//   response, 512, what BlueZ's long writes (prepare and execute) allow for one value.
// - Readiness for writes without response: a window of 16 writes on their way (see
//   bluez_peripheral.h), since BlueZ reports no flow control of its own over D-Bus.
// - Errors: a D-Bus error becomes a BluetoothError whose description is the error's name and
//   message; the code is the ATT error BlueZ's name stands for where there is one, else 0.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bluetooth.h"
#include "platform/linux/bluetooth/bluez_values.h"

namespace orvix::platform::linux_bluetooth {

inline constexpr std::size_t kDefaultAttMtu = 23;
inline constexpr std::size_t kMaximumLongWrite = 512;

// `adapter`: the adapter's Adapter1 properties, or null when there is none.
CentralState adapterState(const PropertyMap* adapter);

bool isAccessDenied(const BusError& error);
BluetoothError bluetoothError(const BusError& error);

std::uint32_t characteristicProperties(const std::vector<std::string>& flags);

BluetoothUuid peripheralIdentifier(std::string_view adapterAddress,
                                   std::string_view deviceAddress);

std::optional<std::string> cachedName(const PropertyMap& device);

AdvertisementData advertisementOf(const PropertyMap& device);

// True when a change of these Device1 properties stands for an advertisement.
bool isAdvertisementChange(const PropertyMap& changed);

// ATT MTU minus the 3 bytes of the write command's header.
std::size_t writeWithoutResponseLength(std::optional<std::int64_t> mtu);

}  // namespace orvix::platform::linux_bluetooth
