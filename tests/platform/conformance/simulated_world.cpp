#include "common/time/virtual_time_source.h"
#include "platform/simulated/desktop/simulated_desktop.h"
#include "tests/platform/conformance/desktop_world.h"

namespace orvix::platform::conformance {

namespace {

using simulated::ElementKind;
using simulated::ElementSpec;

class SimulatedWorld final : public DesktopWorld {
 public:
  static constexpr ProcessId kPid = 501;

  SimulatedWorld() {
    desktop_.addApplication({kPid, "com.example.fixture", "Fixture", false});
    const auto window = desktop_.addWindow(kPid, "Orvix fixture");
    const auto entry = desktop_.addElement(ElementSpec(ElementKind::textField, window));
    desktop_.addElement(ElementSpec(ElementKind::secureTextField, window));
    desktop_.addElement(ElementSpec(ElementKind::button, window));
    desktop_.focusElement(entry);
  }

  Desktop desktop() override { return desktop_.desktop(); }
  ProcessId applicationPid() override { return kPid; }
  RunLoop& loop() override { return time_.mainLoop(); }
  bool waitFor(const std::function<bool()>& condition) override {
    for (int step = 0; step < 100; ++step) {
      if (condition()) return true;
      time_.mainLoop().runFor(std::chrono::milliseconds(10));
    }
    return condition();
  }

 private:
  VirtualTimeSource time_;
  simulated::SimulatedDesktop desktop_{time_};
};

}  // namespace

std::unique_ptr<DesktopWorld> makeSimulatedWorld() { return std::make_unique<SimulatedWorld>(); }

}  // namespace orvix::platform::conformance
