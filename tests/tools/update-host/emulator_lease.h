#pragma once

#include <memory>

#include "tools/update-host/gateway_emulator.h"

namespace orvix::update_host::testing {

// The settings the test build of the program was configured with (test_configuration.json.in).
EmulatorSettings testGatewaySettings(EmulatorMode mode = EmulatorMode::encoded);

// Exclusive use of the emulator port baked into the program under test. Test processes of one
// build run in parallel; a file lock named after the port makes them take turns instead of
// binding the same port (the server library allows shared binding, which would split requests
// between them).
class EmulatorLease {
 public:
  explicit EmulatorLease(EmulatorMode mode = EmulatorMode::encoded);
  ~EmulatorLease();
  EmulatorLease(const EmulatorLease&) = delete;
  EmulatorLease& operator=(const EmulatorLease&) = delete;

  bool started() const { return started_; }
  GatewayEmulator& emulator() { return *emulator_; }

 private:
  int lockFd_ = -1;
  bool started_ = false;
  std::unique_ptr<GatewayEmulator> emulator_;
};

}  // namespace orvix::update_host::testing
