#include "tools/update-host/emulator_lease.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>

namespace orvix::update_host::testing {

EmulatorSettings testGatewaySettings(EmulatorMode mode) {
  return EmulatorSettings{"Kx7Lp2Qm-test-gateway-secret", "20481024", mode};
}

EmulatorLease::EmulatorLease(EmulatorMode mode)
    : emulator_(std::make_unique<GatewayEmulator>(testGatewaySettings(mode))) {
  const std::string lockPath =
      "/tmp/orvix-update-gateway-" + std::to_string(ORVIX_UPDATE_TEST_PORT) + ".lock";
  lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (lockFd_ < 0 || ::flock(lockFd_, LOCK_EX) != 0) return;
  started_ = emulator_->start(ORVIX_UPDATE_TEST_PORT).has_value();
}

EmulatorLease::~EmulatorLease() {
  emulator_->stop();
  if (lockFd_ >= 0) ::close(lockFd_);  // releases the lock
}

}  // namespace orvix::update_host::testing
