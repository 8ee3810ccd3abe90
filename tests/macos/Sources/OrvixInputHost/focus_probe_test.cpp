// Confirmed focus readings, process trees and paste-target dispositions.
#include "input_host_fixture.h"

namespace orvix::input_host::testing {
namespace {

class FocusProbeTest : public InputHostTest {
 protected:
  FocusProbe probe{desktop.accessibility(), desktop.processInfo()};

  // A chain of helper processes `generations` deep below the editor; answers the deepest.
  platform::ProcessId helperChain(int generations) {
    platform::ProcessId parent = kEditorPid;
    for (int i = 1; i <= generations; ++i) {
      desktop.addProcess(kEditorPid + i, parent);
      parent = kEditorPid + i;
    }
    return parent;
  }

  ElementId elementOwnedBy(platform::ProcessId pid) {
    ElementSpec spec(ElementKind::textArea, window);
    spec.pid = pid;
    return desktop.addElement(spec);
  }
};

TEST_F(FocusProbeTest, ReadsAConfirmedFocus) {
  const auto focus = probe.liveSystemFocus();
  ASSERT_TRUE(focus);
  EXPECT_EQ(focus->context.pid, kEditorPid);
  EXPECT_EQ(focus->element, desktop.handle(field));
  EXPECT_EQ(focus->context.accessibilityWindow, desktop.handle(window));
  EXPECT_FALSE(focus->context.windowNumber);
}

TEST_F(FocusProbeTest, FocusMovingBetweenTheConfirmingReadsGivesNothing) {
  desktop.addApplication({600, "com.example.other", "Other", false});
  const ElementId otherWindow = desktop.addWindow(600, "Other");
  ElementSpec spec(ElementKind::textField, otherWindow);
  const ElementId otherField = desktop.addElement(spec);

  desktop.moveFocusAfterSystemWideReads("AXFocusedApplication", 1,
                                        desktop.focusTargetOf(otherField));
  EXPECT_FALSE(probe.liveSystemFocus());

  // The element alone changing within the same application is caught too.
  desktop.focusElement(field);
  const ElementId second = addElement(ElementKind::textField);
  desktop.moveFocusAfterSystemWideReads("AXFocusedUIElement", 1, desktop.focusTargetOf(second));
  EXPECT_FALSE(probe.liveSystemFocus());
}

TEST_F(FocusProbeTest, WindowWithoutFocusedElement) {
  FocusTarget target;
  target.application = kEditorPid;
  target.window = window;
  desktop.setFocus(target);
  const auto focus = probe.liveSystemFocus();
  ASSERT_TRUE(focus);
  EXPECT_FALSE(focus->element);
  EXPECT_EQ(focus->context.accessibilityWindow, desktop.handle(window));
  EXPECT_EQ(probe.pasteTargetDisposition(focus->element), PasteTargetDisposition::unknown);
}

TEST_F(FocusProbeTest, ElementsOfHelperProcessesCountUpToElevenGenerationsBelow) {
  desktop.focusElement(elementOwnedBy(helperChain(1)));
  EXPECT_TRUE(probe.liveSystemFocus());
  desktop.focusElement(elementOwnedBy(helperChain(11)));
  EXPECT_TRUE(probe.liveSystemFocus());
  desktop.focusElement(elementOwnedBy(helperChain(12)));
  EXPECT_FALSE(probe.liveSystemFocus());
}

TEST_F(FocusProbeTest, ElementOfAnUnrelatedProcessGivesNothing) {
  desktop.addProcess(777, 1);
  desktop.focusElement(elementOwnedBy(777));
  EXPECT_FALSE(probe.liveSystemFocus());
}

TEST_F(FocusProbeTest, ProcessTreeWalkSurvivesLoopsAndUnreadableParents) {
  desktop.addProcess(801, 802);
  desktop.addProcess(802, 801);
  EXPECT_FALSE(probe.processBelongsToTree(801, kEditorPid));
  desktop.addProcess(803, 803);
  desktop.setParent(803, 803);
  EXPECT_FALSE(probe.processBelongsToTree(803, kEditorPid));
  const auto helper = helperChain(2);
  desktop.setParentReadFails(helper, true);
  EXPECT_FALSE(probe.processBelongsToTree(helper, kEditorPid));
  EXPECT_TRUE(probe.processBelongsToTree(kEditorPid, kEditorPid));
}

TEST_F(FocusProbeTest, SecureFieldIsProtectedAndHasNoContext) {
  desktop.focusElement(addElement(ElementKind::secureTextField));
  EXPECT_EQ(probe.pasteTargetDisposition(kEditorPid), PasteTargetDisposition::protectedTarget);
  EXPECT_FALSE(probe.foregroundContext());
  EXPECT_TRUE(probe.liveSystemFocus());
}

TEST_F(FocusProbeTest, DispositionRules) {
  // The role decides for a read-only text area.
  const ElementId readOnly = addElement(ElementKind::textArea, "fixed");
  desktop.setSettable(readOnly, "AXValue", false);
  desktop.setSettable(readOnly, "AXSelectedTextRange", false);
  EXPECT_EQ(probe.pasteTargetDisposition(desktop.handle(readOnly)),
            PasteTargetDisposition::acceptsInput);

  // An unlisted role decides by its settable attributes, either of the two.
  ElementSpec spec(ElementKind::generic, window);
  spec.role = "AXGroup";
  const ElementId group = desktop.addElement(spec);
  EXPECT_EQ(probe.pasteTargetDisposition(desktop.handle(group)), PasteTargetDisposition::unknown);
  desktop.setSettable(group, "AXSelectedTextRange", true);
  EXPECT_EQ(probe.pasteTargetDisposition(desktop.handle(group)),
            PasteTargetDisposition::acceptsInput);
  const ElementId valued = desktop.addElement(spec);
  desktop.setSettable(valued, "AXValue", true);
  EXPECT_EQ(probe.pasteTargetDisposition(desktop.handle(valued)),
            PasteTargetDisposition::acceptsInput);

  EXPECT_EQ(probe.pasteTargetDisposition(desktop.handle(addElement(ElementKind::button))),
            PasteTargetDisposition::noInput);

  // No role at all: nothing can be decided.
  const ElementId silent = desktop.addElement(spec);
  desktop.setAttributeError(silent, "AXRole", platform::AXError::attributeUnsupported);
  EXPECT_EQ(probe.pasteTargetDisposition(desktop.handle(silent)), PasteTargetDisposition::unknown);
}

TEST(ForegroundContextMatch, ComparesWindowNumbersThenWindows) {
  ForegroundContext a{1, 5, std::nullopt};
  ForegroundContext b{1, 6, std::nullopt};
  EXPECT_FALSE(a.matches(b));
  b.windowNumber = 5;
  EXPECT_TRUE(a.matches(b));
  ForegroundContext other{2, 5, std::nullopt};
  EXPECT_FALSE(a.matches(other));
  ForegroundContext pidOnly{1, std::nullopt, std::nullopt};
  EXPECT_TRUE(a.matches(pidOnly));
}

TEST_F(FocusProbeTest, OneWindowNumberAbsentLetsEqualWindowsMatch) {
  const auto context = probe.foregroundContext();
  ASSERT_TRUE(context);
  ForegroundContext numbered = *context;
  numbered.windowNumber = 42;
  EXPECT_TRUE(numbered.matches(*context));  // same window element, one number absent
}

// What a probe logs when it is given a diagnostic context.
class FocusDiagnosticsTest : public FocusProbeTest {
 protected:
  std::vector<std::pair<std::string, std::string>> stepsOf(const std::vector<Json>& events) {
    std::vector<std::pair<std::string, std::string>> steps;
    for (const auto& event : events) {
      const auto& d = event.at("diagnostic");
      steps.emplace_back(d.at("step"), d.at("reason"));
    }
    return steps;
  }
  std::vector<Json> probeWithLog(bool context = false) {
    output.clear();
    auto log = host.quickAdd().makeDiagnosticLog("keyboard", 77);
    if (context) {
      probe.foregroundContext(&log);
    } else {
      probe.liveSystemFocus(&log);
    }
    return eventsOf(output);
  }
};

TEST_F(FocusDiagnosticsTest, SuccessLogsReadyWithWhatWasFound) {
  const auto events = probeWithLog();
  ASSERT_EQ(events.size(), 1u);
  const auto& d = events[0].at("diagnostic");
  EXPECT_EQ(d.at("source"), "keyboard");
  EXPECT_EQ(d.at("eventTargetPid"), 77);
  EXPECT_EQ(d.at("step"), "focus");
  EXPECT_EQ(d.at("reason"), "ready");
  EXPECT_EQ(d.at("hasElement"), true);
  EXPECT_EQ(d.at("hasWindow"), true);
  EXPECT_EQ(d.at("helperPid"), SimulatedDesktop::kDefaultCurrentProcess);
}

TEST_F(FocusDiagnosticsTest, EachRefusalNamesItsStep) {
  desktop.addProcess(777, 1);
  desktop.focusElement(elementOwnedBy(777));
  auto events = probeWithLog();
  ASSERT_EQ(stepsOf(events), (std::vector<std::pair<std::string, std::string>>{
                                 {"focus-element-pid", "process-mismatch"}}));
  EXPECT_EQ(events[0].at("diagnostic").at("axError"), 0);

  const ElementId broken = addElement(ElementKind::textField);
  desktop.setProcessIdError(broken, platform::AXError::cannotComplete);
  desktop.focusElement(broken);
  events = probeWithLog();
  ASSERT_EQ(stepsOf(events), (std::vector<std::pair<std::string, std::string>>{
                                 {"focus-element-pid", "invalid-pid"}}));
  EXPECT_EQ(events[0].at("diagnostic").at("axError"), -25204);

  desktop.focusElement(field);
  desktop.moveFocusAfterSystemWideReads("AXFocusedUIElement", 1,
                                        desktop.focusTargetOf(addElement(ElementKind::textField)));
  EXPECT_EQ(stepsOf(probeWithLog()), (std::vector<std::pair<std::string, std::string>>{
                                         {"focus-element-confirm", "changed"}}));

  desktop.focusElement(addElement(ElementKind::secureTextField));
  EXPECT_EQ(stepsOf(probeWithLog(/*context=*/true)),
            (std::vector<std::pair<std::string, std::string>>{{"focus", "ready"},
                                                              {"protected-target", "protected"}}));

  desktop.setSystemWideError("AXFocusedApplication", platform::AXError::apiDisabled);
  events = probeWithLog();
  ASSERT_EQ(stepsOf(events),
            (std::vector<std::pair<std::string, std::string>>{{"focus-app", "ax-error"}}));
  EXPECT_EQ(events[0].at("diagnostic").at("axError"), -25211);
}

TEST_F(FocusDiagnosticsTest, WindowOfAnotherProcessIsRefused) {
  desktop.addProcess(778, 1);
  ElementSpec spec(ElementKind::window, desktop.applicationElement(kEditorPid));
  spec.pid = 778;
  const ElementId foreignWindow = desktop.addElement(spec);
  FocusTarget target;
  target.application = kEditorPid;
  target.window = foreignWindow;
  desktop.setFocus(target);
  // No focused element is not a failure, but the read that found none is logged.
  EXPECT_EQ(stepsOf(probeWithLog()), (std::vector<std::pair<std::string, std::string>>{
                                         {"focus-element", "ax-error"},
                                         {"focus-window-pid", "process-mismatch"}}));
}

TEST_F(FocusDiagnosticsTest, AttemptsCountPerContextAndDurationsAreClamped) {
  auto first = host.quickAdd().makeDiagnosticLog("device");
  auto second = host.quickAdd().makeDiagnosticLog("device");
  EXPECT_EQ(second.context().attempt, first.context().attempt + 1);
  output.clear();
  time.advanceBy(std::chrono::seconds(61));
  first.log("clipboard", "timeout");
  const auto events = eventsOf(output);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].at("diagnostic").at("durationMs"), 60000);
}

TEST_F(FocusProbeTest, ContextsCompareWindowsByPlatformEquality) {
  const auto first = probe.foregroundContext();
  const auto second = probe.foregroundContext();
  ASSERT_TRUE(first && second);
  // Fresh handles for each read: equal by the platform's equality, not by address.
  EXPECT_NE(&first->accessibilityWindow->object(), &second->accessibilityWindow->object());
  EXPECT_TRUE(first->matches(*second));
  ForegroundContext elsewhere = *second;
  elsewhere.accessibilityWindow = desktop.handle(desktop.addWindow(kEditorPid, "Second"));
  elsewhere.windowNumber = 3;
  EXPECT_FALSE(first->matches(elsewhere));  // one number absent: windows decide
}

}  // namespace
}  // namespace orvix::input_host::testing
