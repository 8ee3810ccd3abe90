// One composer scan over a 4,096-element agent window: the time per element and in total on
// this machine (the scan's own budget is 0.4 s, meant to bite only on slow applications), and
// the memory of the visited set.

#include <benchmark/benchmark.h>

#include <malloc.h>

#include "common/time/virtual_time_source.h"
#include "platform/simulated/desktop/simulated_desktop.h"
#include "OrvixInputHost/delivery/agent_activation.h"
#include "OrvixInputHost/delivery/agent_composer.h"
#include "OrvixInputHost/delivery/visited_elements.h"

namespace {

using namespace orvix;
using namespace orvix::input_host;
using platform::simulated::ElementKind;
using platform::simulated::ElementSpec;

constexpr platform::ProcessId kAgent = 600;
constexpr int kGroups = 63;
constexpr int kRowsPerGroup = 64;
// The window, 63 groups, 63 x 64 rows less one, and the composer: 4,096 elements.
constexpr int kElements = 4096;

struct ScanWorld {
  ScanWorld() {
    desktop.addApplication({kAgent, "com.anthropic.claudefordesktop", "Claude", false});
    window = desktop.addWindow(kAgent, "Claude");
    desktop.setApplicationWindows(kAgent, window, window);
    for (int g = 0; g < kGroups; ++g) {
      const auto group = desktop.addElement(ElementSpec(ElementKind::generic, window));
      const int rows = g == kGroups - 1 ? kRowsPerGroup - 1 : kRowsPerGroup;
      for (int r = 0; r < rows; ++r) {
        desktop.addElement(ElementSpec(ElementKind::staticText, group).withValue("row"));
      }
    }
    // Refuses the focus and has no frame: every scan runs to the end and chooses it again.
    desktop.addElement(ElementSpec(ElementKind::textArea, window)
                           .withAttribute("AXPlaceholderValue", "Message Claude")
                           .ignoringFocusWrite());
    desktop.setFocus({kAgent, window, 0});
  }

  VirtualTimeSource time;
  platform::simulated::SimulatedDesktop desktop{time};
  platform::Desktop platformDesktop = desktop.desktop();
  MemoryLineSink sink;
  EventOutput output{sink};
  QuickAdd quickAdd{output, time, platformDesktop};
  FocusProbe probe{platformDesktop.accessibility, platformDesktop.processInfo};
  KeySynthesis keys{platformDesktop.inputEvents, quickAdd};
  AgentTrace trace{output, time.clock(), nullptr};
  AgentEnvironment environment{platformDesktop, time, probe, keys, trace, std::nullopt};
  AgentActivator activator{environment};
  AgentComposerFinder finder{environment, activator};
  platform::simulated::ElementId window = 0;
};

void BM_ComposerScan(benchmark::State& state) {
  ScanWorld world;
  const AXElement window = world.desktop.handle(world.window);
  for (auto _ : state) {
    benchmark::DoNotOptimize(world.finder.focusAgentComposerOnce(kAgent, AgentTarget::claudeDesktop, window));
  }
  const double elements = kElements;
  state.counters["elements"] = elements;
  state.counters["per_element"] = benchmark::Counter(
      elements, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ComposerScan)->Unit(benchmark::kMillisecond);

void BM_VisitedSetMemory(benchmark::State& state) {
  ScanWorld world;
  std::vector<AXElement> handles;
  for (platform::simulated::ElementId id = 1; id <= kElements; ++id) {
    handles.push_back(world.desktop.handle(id));
  }
  std::size_t bytes = 0;
  for (auto _ : state) {
    // glibc's count of the bytes in use: what the set holds once it is built.
    const std::size_t before = mallinfo2().uordblks;
    VisitedElements visited(kElements);
    for (const auto& handle : handles) visited.insert(handle);
    bytes = mallinfo2().uordblks - before;
    benchmark::DoNotOptimize(visited.size());
  }
  state.counters["bytes"] = static_cast<double>(bytes);
  state.counters["bytes_per_element"] = static_cast<double>(bytes) / kElements;
}
BENCHMARK(BM_VisitedSetMemory)->Unit(benchmark::kMicrosecond);

}  // namespace
BENCHMARK_MAIN();
