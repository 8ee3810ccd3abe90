#include "platform/machine_desktop.h"
#include "platform/linux/desktop/linux_desktop.h"
#include "platform/linux/desktop/x11_display.h"

namespace orvix::platform {

namespace {
class LinuxMachineDesktop final : public MachineDesktop {
 public:
  explicit LinuxMachineDesktop(TimeSource& time) : machine_(time) {}
  Desktop desktop() override { return machine_.desktop(); }
  void onSessionLost(std::function<void()> handler) override {
    linux_desktop::X11Display::onConnectionLost(std::move(handler));
  }

 private:
  linux_desktop::LinuxDesktop machine_;
};
}  // namespace

std::unique_ptr<MachineDesktop> makeMachineDesktop(TimeSource& time) {
  return std::make_unique<LinuxMachineDesktop>(time);
}

}  // namespace orvix::platform
