// Quick-add's three threads at once on real time: the user's events on the tap thread, reading
// and hints on the quick-add queue, and pastes and copy commands on the command loop. Meant to
// run under ThreadSanitizer (the tsan preset); elsewhere it checks that every command is still
// answered once and every line is whole.
#include <gtest/gtest.h>

#include <atomic>

#include "common/time/real_time_source.h"
#include "platform/simulated/desktop/simulated_desktop.h"
#include "OrvixInputHost/delivery/input_host.h"

namespace orvix::input_host::testing {
namespace {

using platform::EventType;
using platform::kEventFlagCommand;
using platform::kEventFlagShift;
using platform::simulated::ElementKind;
using platform::simulated::ElementSpec;
using platform::simulated::SimulatedDesktop;

constexpr platform::ProcessId kEditorPid = 500;

std::string commandLine(const std::string& name, const std::string& commandId,
                        const std::string& extra = "") {
  return "{\"schemaVersion\":2,\"command\":\"" + name + "\",\"commandId\":\"" + commandId + "\"" +
         extra + "}";
}

TEST(QuickAddStress, TapEventsQueueWorkAndPastesTogether) {
  RealTimeSource time;
  SimulatedDesktop desktop(time);
  desktop.addApplication({kEditorPid, "com.example.editor", "Editor", false});
  const auto window = desktop.addWindow(kEditorPid, "Untitled");
  const auto field = desktop.addElement(ElementSpec(ElementKind::textField, window)
                                            .withValue("Kubernetes")
                                            .withSelectedRange({0, 10}));
  desktop.focusElement(field);
  MemoryLineSink output;
  platform::Desktop platformDesktop = desktop.desktop();
  InputHost host(platformDesktop, time, output);
  host.start();
  host.handleLine(commandLine("permission.refresh", "p",
                              ",\"prompt\":false,\"responsiblePermission\":\"trusted\""));
  host.handleLine(commandLine("vocabulary.quick-add.configure", "q", ",\"enabled\":true"));

  std::atomic<bool> done{false};
  auto user = time.startThread("user", [&] {
    for (int i = 0; !done.load(); ++i) {
      SimulatedDesktop::UserEvent event;
      event.targetPid = kEditorPid;
      switch (i % 5) {
        case 0:
          event.keyCode = 8;  // Command-C
          event.flags = kEventFlagCommand;
          break;
        case 1:
          event.keyCode = 124;  // Shift-Right
          event.flags = kEventFlagShift;
          break;
        case 2:
          event.type = EventType::leftMouseDown;
          desktop.userEvent(event);
          event.type = EventType::leftMouseUp;
          event.clickState = 2;
          break;
        case 3:
          event.keyCode = 7;  // X
          break;
        default:
          event.keyCode = 0;  // Command-A
          event.flags = kEventFlagCommand;
          break;
      }
      desktop.userEvent(event);
      if (i % 4 == 0) desktop.simulateUserCopy("Kubernetes");
      std::this_thread::yield();
    }
  });

  constexpr int rounds = 12;
  for (int round = 0; round < rounds; ++round) {
    const std::string id = std::to_string(round);
    host.handleLine(commandLine("commit-text", "paste-" + id,
                                ",\"sessionId\":\"s\",\"text\":\"abc\""));
    host.handleLine(commandLine("vocabulary.quick-add.copy", "copy-" + id));
    if (round % 4 == 3) {
      host.handleLine(commandLine("vocabulary.quick-add.configure", "off", ",\"enabled\":false"));
      host.handleLine(commandLine("vocabulary.quick-add.configure", "on", ",\"enabled\":true"));
    }
  }
  // Every copy command was queued before this barrier, and each answers before it ends.
  host.quickAdd().observationQueue().sync([] {});
  done.store(true);
  user->join();

  int results = 0;
  int pastes = 0;
  for (const auto& line : output.lines()) {
    const auto event = Json::parse(line, nullptr, false);
    ASSERT_FALSE(event.is_discarded()) << line;
    if (event.value("event", "") == "vocabulary.quick-add.selection-result") ++results;
    if (event.value("commandId", "").starts_with("paste-")) ++pastes;
  }
  EXPECT_EQ(results, rounds);
  EXPECT_EQ(pastes, rounds);
}

}  // namespace
}  // namespace orvix::input_host::testing
