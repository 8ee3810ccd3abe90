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
//     "gattServices": ["001120a0-..."]      services offered once connected
//   }]
// }

#include <optional>
#include <string>
#include <vector>

#include "common/time/time_types.h"
#include "platform/bluetooth.h"

namespace orvix::platform::simulated {

struct SimulatedDevice {
  BluetoothUuid identifier{};
  std::optional<std::string> name;
  AdvertisementData advertisement;
  std::vector<int> rssi{-60};                                     // never empty
  Duration advertisingInterval = std::chrono::milliseconds(100);  // zero: silent
  bool knownToSystem = false;
  bool connectedToSystem = false;
  std::vector<BluetoothUuid> gattServices;
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
