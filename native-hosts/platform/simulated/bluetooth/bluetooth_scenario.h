#pragma once

// A Bluetooth scenario is the radio world a test or a demo runs the Bluetooth host in, stated as
// data. Scenario files are JSON; every key is optional unless marked, unknown keys are errors:
//
// {
//   "authorization": "not-determined",      not-determined | restricted | denied | allowed
//   "prompt": {"answer": "allowed",         what the user answers the permission prompt
//              "afterMs": 400},              (allowed | denied), this long after it appeared;
//                                            without "prompt" the prompt stays open
//   "adapter": "powered-on",                unknown | resetting | unsupported | powered-off |
//                                            powered-on
//   "adapterChanges": [{"atMs": 3000, "state": "powered-off"}],   after loading
//   "devices": [{
//     "identifier": "6E2F...-...",          required; the system's UUID for the device
//     "name": "Orvix K7",                   the name the system has cached
//     "localName": "Orvix K7",              the advertised local name
//     "services": ["001120a0-..."],         advertised service UUIDs
//     "overflowServices": ["..."],          advertised overflow service UUIDs
//     "rssi": [-60, -63],                   dBm of successive advertisements, cycled
//     "intervalMs": 100,                    0: the device does not advertise
//     "knownToSystem": false,               found by identifier in the system's records
//     "connectedToSystem": false,           connected to the system (by any application)
//     "gattServices": ["001120a0-..."],     services offered once connected
//     "connection": "succeeds",             succeeds | fails | hangs
//     "dropAfterMs": 0,                     the link drops this long after it came up
//     "disconnectionHangs": false,          a cancelled link is never confirmed down
//     "disconnectionDelayMs": 0,            a cancelled link is confirmed down this long later
//     "serviceDiscoveryFails": false,
//     "characteristicDiscoveryFails": false,
//     "maximumWriteWithResponse": 512,
//     "maximumWriteWithoutResponse": 244,
//     "writeWithoutResponseBurst": 0,       writes taken back to back (0: no limit), then
//     "writeWithoutResponsePauseMs": 5,     "not now" for this long
//     "confirmationErrors": 0,              the first confirmations carry an error
//     "confirmationDelayMs": 0,             a write with response is confirmed this long later
//     "characteristics": [{
//       "service": "...", "uuid": "...",    required
//       "properties": 16,                   the Bluetooth property bits
//       "subscription": "confirm",          confirm | fail | hang
//       "notifyIntervalMs": 0,              a value this often while notifying (0: never)
//       "notifyBytes": 20,                  1..512
//       "notifyLimit": 0                    stops after this many (0: no limit)
//     }]
//   }]
// }

#include <optional>
#include <string>
#include <vector>

#include "common/time/time_types.h"
#include "platform/bluetooth.h"

namespace orvix::platform::simulated {

enum class SubscriptionAnswer { confirm, fail, hang };

// One characteristic a connected device offers in one of its services.
struct SimulatedCharacteristicSpec {
  BluetoothUuid service{};
  BluetoothUuid uuid{};
  std::uint32_t properties = 0;
  SubscriptionAnswer subscription = SubscriptionAnswer::confirm;
  // While notifications are on: one value of `notifyBytes` bytes every `notifyInterval`
  // (zero: the device notifies only when a test says so), at most `notifyLimit` (0: no limit).
  Duration notifyInterval{};
  std::size_t notifyBytes = 20;
  std::size_t notifyLimit = 0;
};

enum class ConnectionAnswer { succeeds, fails, hangs };

struct SimulatedDevice {
  BluetoothUuid identifier{};
  std::optional<std::string> name;
  AdvertisementData advertisement;
  std::vector<int> rssi{-60};                                     // never empty
  Duration advertisingInterval = std::chrono::milliseconds(100);  // zero: silent
  bool knownToSystem = false;
  bool connectedToSystem = false;
  std::vector<BluetoothUuid> gattServices;

  // The link. A device that neither advertises nor is held by the system is out of range: a
  // connection to it hangs whatever `connection` says.
  ConnectionAnswer connection = ConnectionAnswer::succeeds;
  Duration dropAfter{};             // the link drops this long after it came up (zero: never)
  bool disconnectionHangs = false;  // a cancelled link is never confirmed down
  Duration disconnectionDelay{};    // a cancelled link is confirmed down this long later
  bool serviceDiscoveryFails = false;
  bool characteristicDiscoveryFails = false;
  std::vector<SimulatedCharacteristicSpec> characteristics;
  std::size_t maximumWriteWithResponse = 512;
  std::size_t maximumWriteWithoutResponse = 244;
  // The platform takes this many writes without response back to back (zero: no limit), then
  // says "not now" for `writeWithoutResponsePause` before it is ready again.
  std::size_t writeWithoutResponseBurst = 0;
  Duration writeWithoutResponsePause = std::chrono::milliseconds(5);
  int confirmationErrors = 0;  // the first confirmations of writes with response fail
  Duration confirmationDelay{};  // how long the device takes to confirm a write with response
};

struct PromptAnswer {
  BluetoothAuthorization answer = BluetoothAuthorization::allowedAlways;
  Duration after = std::chrono::milliseconds(400);
};

struct AdapterChange {
  Duration at{};
  CentralState state = CentralState::poweredOn;
};

struct BluetoothScenario {
  BluetoothAuthorization authorization = BluetoothAuthorization::allowedAlways;
  std::optional<PromptAnswer> prompt;
  CentralState adapter = CentralState::poweredOn;
  std::vector<AdapterChange> adapterChanges;
  std::vector<SimulatedDevice> devices;
};

}  // namespace orvix::platform::simulated
