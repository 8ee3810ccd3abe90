#include "platform/simulated/bluetooth/bluetooth_scenario_parser.h"

namespace orvix::platform::simulated {

// The user has not yet been asked for Bluetooth and allows it when asked; the adapter is on.
// The recorder advertises its service under a name with the product word and drifts across a
// signal bucket; a speaker advertises a name only, and an anonymous tag advertises nothing but
// its signal. The system has met the recorder before, so a scan that prefers it finds it in the
// system's records. Connected, the recorder offers its service with the rx, command and stream
// characteristics and streams 244-byte packets every 20 ms once the stream is subscribed.
std::string_view defaultBluetoothScenarioJson() {
  return R"json({
  "authorization": "not-determined",
  "prompt": {"answer": "allowed", "afterMs": 300},
  "adapter": "powered-on",
  "devices": [
    {
      "identifier": "5A3C9E7B-1D2F-4A6B-8C0D-2E4F6A8B0C1D",
      "name": "Orvix K7",
      "localName": "Orvix K7 Recorder",
      "services": ["001120a0-2233-4455-6677-889912345678"],
      "rssi": [-58, -61, -59, -62, -64, -63, -61, -60],
      "intervalMs": 100,
      "knownToSystem": true,
      "gattServices": ["001120a0-2233-4455-6677-889912345678"],
      "maximumWriteWithResponse": 512,
      "maximumWriteWithoutResponse": 244,
      "writeWithoutResponseBurst": 8,
      "writeWithoutResponsePauseMs": 5,
      "characteristics": [
        {"service": "001120a0-2233-4455-6677-889912345678",
         "uuid": "001120a2-2233-4455-6677-889912345678", "properties": 12},
        {"service": "001120a0-2233-4455-6677-889912345678",
         "uuid": "001120a3-2233-4455-6677-889912345678", "properties": 16},
        {"service": "001120a0-2233-4455-6677-889912345678",
         "uuid": "001120a4-2233-4455-6677-889912345678", "properties": 16,
         "notifyIntervalMs": 20, "notifyBytes": 244}
      ]
    },
    {
      "identifier": "0B9D2C4E-6F70-4182-93A4-B5C6D7E8F901",
      "localName": "Living Room Speaker",
      "services": ["0000110b-0000-1000-8000-00805f9b34fb"],
      "rssi": [-77],
      "intervalMs": 150
    },
    {
      "identifier": "C1D2E3F4-A5B6-4C7D-8E9F-0A1B2C3D4E5F",
      "rssi": [-90, -91],
      "intervalMs": 250
    }
  ]
})json";
}

}  // namespace orvix::platform::simulated
