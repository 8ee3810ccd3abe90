#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "common/time/real_time_source.h"
#include "platform/linux/desktop/linux_desktop.h"
#include "tests/platform/conformance/desktop_world.h"

namespace orvix::platform::conformance {

namespace {

// The fixture application of tests/support/x11/private_desktop.py, on the private desktop that
// script started around this test.
class X11World final : public DesktopWorld {
 public:
  explicit X11World(ProcessId pid) : machine_(time_), pid_(pid) {}

  Desktop desktop() override { return machine_.desktop(); }
  ProcessId applicationPid() override { return pid_; }
  RunLoop& loop() override { return time_.mainLoop(); }
  bool waitFor(const std::function<bool()>& condition) override {
    // A real application answers when it has drawn and dispatched: poll it for up to 5 s.
    for (int step = 0; step < 250; ++step) {
      if (condition()) return true;
      time_.mainLoop().runFor(std::chrono::milliseconds(20));
    }
    return condition();
  }

 private:
  RealTimeSource time_;
  linux_desktop::LinuxDesktop machine_;
  ProcessId pid_;
};

}  // namespace

std::unique_ptr<DesktopWorld> makeX11World() {
  const char* pid = std::getenv("ORVIX_FIXTURE_APP_PID");
  if (pid == nullptr || std::getenv("DISPLAY") == nullptr) {
    ADD_FAILURE() << "no fixture desktop: run this test through tests/support/x11/private_desktop.py";
    return nullptr;
  }
  auto world = std::make_unique<X11World>(static_cast<ProcessId>(std::stol(pid)));
  // Whatever an earlier test left in front, each starts with the fixture application there.
  Workspace& workspace = world->desktop().workspace;
  const ProcessId fixture = world->applicationPid();
  workspace.activate(fixture, 0);
  world->waitFor([&] {
    const auto front = workspace.frontmostApplication();
    return front && front->pid == fixture;
  });
  return world;
}

}  // namespace orvix::platform::conformance
