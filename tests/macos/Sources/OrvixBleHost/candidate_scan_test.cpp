// The scan on its own, against a simulated radio: how the desktop application's candidate ids
// find what the scan remembered. The rest of its life is driven through the host in
// scanning_test.cpp.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "OrvixBleHost/scanning.h"
#include "common/time/virtual_time_source.h"
#include "platform/simulated/bluetooth/simulated_bluetooth.h"

namespace orvix::ble_host {
namespace {

using namespace std::chrono_literals;

constexpr const char* kDeviceId = "5A3C9E7B-1D2F-4A6B-8C0D-2E4F6A8B0C1D";

// The host's part, reduced to a manager that forwards its advertisements to the scan.
class ScanHost final : public ScanContext, public platform::CentralManagerDelegate {
 public:
  platform::CentralManager* central() const override { return manager.get(); }
  bool linkBusy() const override { return false; }
  void reportUnauthorized() override {}
  bool emit(std::string_view, Json) override { return true; }

  void centralManagerDidUpdateState(platform::CentralManager&) override {}
  void didDiscover(platform::CentralManager&, const std::shared_ptr<platform::Peripheral>& device,
                   const platform::AdvertisementData& advertisement, int rssi) override {
    if (scan) scan->didDiscover(device, advertisement, rssi);
  }
  void didConnect(platform::CentralManager&,
                  const std::shared_ptr<platform::Peripheral>&) override {}
  void didFailToConnect(platform::CentralManager&, const std::shared_ptr<platform::Peripheral>&,
                        const std::optional<platform::BluetoothError>&) override {}
  void didDisconnect(platform::CentralManager&, const std::shared_ptr<platform::Peripheral>&,
                     const std::optional<platform::BluetoothError>&) override {}

  std::shared_ptr<platform::CentralManager> manager;
  CandidateScan* scan = nullptr;
};

TEST(CandidateScanUnit, ACandidateIsFoundByItsIdInEitherLetterCaseUntilTheNextScan) {
  VirtualTimeSource time;
  platform::simulated::BluetoothScenario world;
  platform::simulated::SimulatedDevice device;
  device.identifier = *parseUuid(kDeviceId);
  device.advertisingInterval = Duration::zero();
  world.devices.push_back(device);
  platform::simulated::SimulatedBluetooth bluetooth(time, world);
  ScanHost host;
  host.manager = bluetooth.makeCentralManager(host);
  CandidateScan scan(time.mainLoop(), host);
  host.scan = &scan;
  time.runUntilIdle();  // the adapter reports powered-on

  scan.start({"s1", 5s, std::nullopt, false});
  bluetooth.simulateAdvertisement(device.identifier, -60);
  time.runUntilIdle();
  const std::string lower = "5a3c9e7b-1d2f-4a6b-8c0d-2e4f6a8b0c1d";
  ASSERT_NE(scan.candidate(kDeviceId), nullptr);
  EXPECT_EQ(scan.candidate(lower), scan.candidate(kDeviceId));
  EXPECT_EQ(scan.candidate("0B9D2C4E-6F70-4182-93A4-B5C6D7E8F901"), nullptr);

  scan.stop(ScanEnd::cancelled);
  EXPECT_NE(scan.candidate(lower), nullptr);  // a connect may follow the scan's end
  scan.start({"s2", 5s, std::nullopt, false});
  EXPECT_EQ(scan.candidate(lower), nullptr);
}

}  // namespace
}  // namespace orvix::ble_host
