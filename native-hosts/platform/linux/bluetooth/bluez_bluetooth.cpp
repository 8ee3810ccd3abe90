#include "platform/linux/bluetooth/bluez_bluetooth.h"

#include <chrono>

#include "platform/linux/bluetooth/bluez_central_manager.h"

namespace orvix::platform::linux_bluetooth {

std::shared_ptr<CentralManager> BluezBluetooth::makeCentralManager(
    CentralManagerDelegate& delegate) {
  auto manager = std::make_shared<BluezCentralManager>(mainLoop_, delegate, accessDenied_);
  manager->start();
  std::erase_if(managers_, [](const auto& kept) { return kept.expired(); });
  managers_.push_back(manager);
  return manager;
}

void BluezBluetooth::finishBeforeExit(Duration limit) {
  const auto giveUpAt = std::chrono::steady_clock::now() + limit;
  for (const auto& kept : managers_) {
    const auto left = giveUpAt - std::chrono::steady_clock::now();
    if (auto manager = kept.lock(); manager && left > Duration::zero()) {
      manager->finishCalls(std::chrono::duration_cast<Duration>(left));
    }
  }
}

}  // namespace orvix::platform::linux_bluetooth
