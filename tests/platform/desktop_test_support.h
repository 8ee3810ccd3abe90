#pragma once

#include <gtest/gtest.h>

#include <string>

#include "common/time/virtual_time_source.h"
#include "platform/simulated/desktop/simulated_desktop.h"

namespace orvix::platform::simulated::testing {

// An editor (pid 501) with one window and an empty focused text field, and a second
// application (pid 601, "Notes") with its own field, on virtual time.
class DesktopTest : public ::testing::Test {
 protected:
  static constexpr ProcessId kEditor = 501;
  static constexpr ProcessId kNotes = 601;

  DesktopTest() {
    desktop.addApplication({kEditor, "com.example.editor", "Editor", false});
    editorWindow = desktop.addWindow(kEditor, "Untitled");
    field = desktop.addElement(ElementSpec(ElementKind::textField, editorWindow));
    desktop.addApplication({kNotes, "com.example.notes", "Notes", false});
    notesWindow = desktop.addWindow(kNotes, "Notes");
    notesField = desktop.addElement(ElementSpec(ElementKind::textArea, notesWindow));
    desktop.focusElement(field);
  }

  // What the host does to paste: clear, set, Command+V down and up at the hid tap.
  void paste(const std::string& text) {
    desktop.pasteboard().clearContents();
    desktop.pasteboard().setString(text);
    postKey(9, kEventFlagCommand);
  }

  void postKey(std::uint16_t keyCode, EventFlags flags = 0) {
    InputEvents& events = desktop.inputEvents();
    for (const bool down : {true, false}) {
      auto event = events.createKeyboardEvent(nullptr, keyCode, down);
      ASSERT_NE(event, nullptr);
      event->setFlags(flags);
      events.post(EventTapLocation::hid, *event);
    }
  }

  AXAttributeResult read(const AXElement& element, std::string_view attribute) {
    return desktop.accessibility().copyAttributeValue(element, attribute);
  }
  AXAttributeResult read(ElementId element, std::string_view attribute) {
    return read(desktop.handle(element), attribute);
  }
  AXAttributeResult readSystemWide(std::string_view attribute) {
    return read(desktop.accessibility().systemWideElement(), attribute);
  }

  VirtualTimeSource time;  // first: outlives the desktop and its queue
  SimulatedDesktop desktop{time};
  ElementId editorWindow = kNoElement;
  ElementId field = kNoElement;
  ElementId notesWindow = kNoElement;
  ElementId notesField = kNoElement;
};

inline bool holdsElement(const AXAttributeResult& result, const AXElement& expected) {
  const auto* element = std::get_if<AXElement>(&result.value);
  return result.error == AXError::success && element != nullptr && *element == expected;
}

}  // namespace orvix::platform::simulated::testing
