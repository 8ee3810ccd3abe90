#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/time/virtual_time_source.h"
#include "platform/simulated/desktop/simulated_desktop.h"
#include "OrvixInputHost/delivery/command_results.h"
#include "OrvixInputHost/delivery/input_host.h"
#include "OrvixInputHost/delivery/input_host_settings.h"

namespace orvix::input_host::testing {

using platform::simulated::ApplicationSpec;
using platform::simulated::ElementId;
using platform::simulated::ElementKind;
using platform::simulated::ElementSpec;
using platform::simulated::FocusTarget;
using platform::simulated::SimulatedDesktop;

// The lines a sink collected, parsed back.
inline std::vector<Json> eventsOf(const MemoryLineSink& sink) {
  std::vector<Json> events;
  for (const auto& line : sink.lines()) events.push_back(Json::parse(line, nullptr, false));
  return events;
}

// An input host on a simulated desktop and virtual time: an editor application (pid 500) in
// front, with a window holding an empty text field that has the focus.
class InputHostTest : public ::testing::Test {
 protected:
  static constexpr platform::ProcessId kEditorPid = 500;

  InputHostTest() {
    desktop.addApplication({kEditorPid, "com.example.editor", "Editor", false});
    window = desktop.addWindow(kEditorPid, "Untitled");
    field = addElement(ElementKind::textField);
    desktop.focusElement(field);
    desktop.setFrontmostApplication(kEditorPid);
    host.start();
    output.clear();
  }

  ElementId addElement(ElementKind kind, std::optional<std::string> value = std::nullopt) {
    ElementSpec spec(kind, window);
    spec.value = std::move(value);
    return desktop.addElement(spec);
  }

  // Sends one command line; answers the events it wrote.
  std::vector<Json> send(const std::string& line) {
    output.clear();
    running = host.handleLine(line);
    return eventsOf(output);
  }
  std::vector<Json> send(const char* line) { return send(std::string(line)); }
  std::vector<Json> send(const Json& command) { return send(command.dump()); }

  void grantPermission() {
    send(Json{{"schemaVersion", 2},
              {"command", "permission.refresh"},
              {"commandId", "permission"},
              {"prompt", false},
              {"responsiblePermission", "trusted"}});
  }

  static Json commitText(const std::string& commandId, const std::string& text,
                         const std::string& sessionId = "session") {
    return {{"schemaVersion", 2}, {"command", "commit-text"}, {"commandId", commandId},
            {"sessionId", sessionId}, {"text", text}};
  }
  static Json streamText(const std::string& commandId, const std::string& text,
                         const std::string& sessionId = "session") {
    Json command = commitText(commandId, text, sessionId);
    command["streaming"] = true;
    return command;
  }
  static Json sessionCommand(const std::string& name, const std::string& commandId,
                             const std::string& sessionId = "session") {
    return {{"schemaVersion", 2}, {"command", name}, {"commandId", commandId},
            {"sessionId", sessionId}};
  }

  // The single answer a command wrote. Every pasteboard write and synthetic key also withdraws
  // quick-add's selection ("vocabulary.quick-add.selection-cleared"); those are left out.
  std::vector<Json> answers(const Json& command) { return answers(command.dump()); }
  std::vector<Json> answers(const std::string& line) {
    std::vector<Json> events;
    for (auto& event : send(line)) {
      if (event.value("event", "") != "vocabulary.quick-add.selection-cleared") {
        events.push_back(std::move(event));
      }
    }
    return events;
  }
  Json answer(const Json& command) {
    const auto events = answers(command);
    EXPECT_EQ(events.size(), 1u) << command.dump();
    return events.empty() ? Json() : events.front();
  }
  std::string outcomeOf(const Json& command) { return answer(command).value("outcome", ""); }

  std::vector<platform::simulated::PostedEvent> keyDowns() {
    std::vector<platform::simulated::PostedEvent> downs;
    for (const auto& event : desktop.postedEvents()) {
      if (event.type == platform::EventType::keyDown) downs.push_back(event);
    }
    return downs;
  }

  VirtualTimeSource time;
  SimulatedDesktop desktop{time};
  MemoryLineSink output;
  platform::Desktop platformDesktop = desktop.desktop();
  InputHost host{platformDesktop, time, output};
  ElementId window = 0;
  ElementId field = 0;
  bool running = true;
};

}  // namespace orvix::input_host::testing
