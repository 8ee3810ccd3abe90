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
//   scans, a new Device1 object and every change of its "RSSI", "Name", "UUIDs", "TxPower",
//   "ManufacturerData", "ServiceData" or "AdvertisingData" count as one advertisement. The scan's
//   discovery filter carries an RSSI floor, which makes bluetoothd report the RSSI of every
//   advertisement (without one, newer releases report only changes of 8 dBm). "Name" is the
//   advertised local name; "UUIDs" (BlueZ's union of the advertised and the resolved services)
//   stand for the advertised service list; there are no overflow services. A missing "RSSI"
//   is reported as 127 ("not available").
// - Discovery is one session of this client, changed one call at a time (bluez_discovery.h);
//   a refusal other than "InProgress" ends the scan through didEndScan.
// - The cached name of a peripheral is "Alias" unless that is BlueZ's stand-in made of the
//   address, then "Name"; otherwise none.
// - Scanning state is this client's own: BlueZ's "Discovering" also counts other clients.
// - Characteristic properties come from "Flags"; only the flags that have a bit in the Bluetooth
//   core standard's property field are mapped (broadcast, read, write-without-response, write,
//   notify, indicate, authenticated-signed-writes, extended-properties).
// - Links: see bluez_peripheral.h. An attempt is sent again after a passing failure, so it has
//   no time limit, as CoreBluetooth's has none; it fails only when BlueZ refuses it for good
//   (isLastingConnectFailure) or the device cannot be looked for.
// - bluetoothd leaving the bus: resetting, then the adapter's state once it is back (unsupported
//   if it stays away for 10 s). The system bus going away: unsupported, and the bus is connected
//   to again with back-off.
// - Service discovery is BlueZ's own: "ServicesResolved", then the GattService1 and
//   GattCharacteristic1 objects under the device; nothing is asked of the device.
// - Notifications: "Value" changes of a StartNotify session, in bus order; the subscription's
//   confirmation is the call's reply, its loss "Notifying" going false while the link stays.
//   Values the host falls too far behind on are dropped and reported as one failed update.
// - Write lengths: without response, the ATT MTU minus 3: BlueZ's "MTU" property (5.62 and
//   later), else the MTU of a write socket taken and closed at once, else 23; with response,
//   512, what BlueZ's long writes (prepare and execute) allow for one value.
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
// A failed Connect that sending it again cannot mend: the adapter is not ready, the device or
// the system refused (security, arguments, access), or this client lost its bus.
bool isLastingConnectFailure(const BusError& error);
// bluetoothd refusing WriteValue because a write socket is (still) held.
bool isWriteAcquired(const BusError& error);
// StartNotify refused because this client's session already exists (kept from an earlier link).
bool isSessionAlreadyOn(const BusError& error);
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
