// Which window a quick-add gesture is about: the three sources of evidence, the window really
// in front, and every refusal with the diagnostic step it leaves.
#include "input_host_fixture.h"
#include "OrvixInputHost/quick-add/quick_add_foreground.h"

namespace orvix::input_host::testing {
namespace {

using platform::AXError;

class QuickAddForegroundTest : public InputHostTest {
 protected:
  static constexpr platform::ProcessId kHelperPid = 510;
  static constexpr platform::ProcessId kOtherPid = 700;

  QuickAddForegroundTest() {
    desktop.addProcess(kHelperPid, kEditorPid);
    desktop.addApplication({kOtherPid, "com.example.other", "Other", false});
    otherWindow = desktop.addWindow(kOtherPid, "Other");
    // The editor keeps the focus and stays in front of the other application's window.
    desktop.focusElement(field);
  }

  std::optional<SystemFocus> focus(platform::ProcessId eventPid,
                                   std::optional<ForegroundContext> expected = std::nullopt) {
    output.clear();
    auto diagnostic = host.quickAdd().makeDiagnosticLog("keyboard", eventPid);
    return foreground.focus(eventPid, expected, &diagnostic);
  }
  // "step/reason" of every diagnostic since the last resolution.
  std::vector<std::string> steps() {
    std::vector<std::string> seen;
    for (const auto& event : eventsOf(output)) {
      const Json& diagnostic = event["diagnostic"];
      seen.push_back(diagnostic.value("step", "") + "/" + diagnostic.value("reason", ""));
    }
    return seen;
  }
  Json firstDiagnostic() { return eventsOf(output).at(0)["diagnostic"]; }

  QuickAddForeground foreground{platformDesktop, time};
  ElementId otherWindow = 0;
  using Steps = std::vector<std::string>;
  const Steps resolved{"foreground-evidence/ready", "foreground-evidence/ready", "focus/ready"};
  const Steps unconfirmed{"foreground-evidence/evidence-mismatch",
                          "foreground-evidence/evidence-mismatch", "focus-app/unconfirmed"};
};

TEST_F(QuickAddForegroundTest, AKeyForAHelperOfTheFocusedApplicationResolvesAndOneElsewhereNot) {
  const auto found = focus(kHelperPid);
  ASSERT_TRUE(found);
  EXPECT_EQ(steps(), resolved);
  EXPECT_EQ(found->context.pid, kEditorPid);
  EXPECT_EQ(found->context.windowNumber, desktop.windowNumber(window));
  EXPECT_EQ(found->context.accessibilityWindow, desktop.handle(window));
  EXPECT_EQ(found->element, desktop.handle(field));
  const Json evidence = firstDiagnostic();
  EXPECT_EQ(evidence.value("foregroundSource", ""), "ax");
  EXPECT_EQ(evidence.value("resolvedPid", 0), kEditorPid);
  EXPECT_EQ(evidence.value("workspaceOrvix", true), false);
  // All steps of one resolution share its attempt number; the next one counts on by one.
  const auto attempt = evidence.value("attempt", 0);
  for (const auto& event : eventsOf(output)) EXPECT_EQ(event["diagnostic"]["attempt"], attempt);

  EXPECT_FALSE(focus(kOtherPid));
  EXPECT_EQ(steps(), unconfirmed);
  EXPECT_EQ(firstDiagnostic().value("attempt", 0), attempt + 1);
  EXPECT_EQ(eventsOf(output).at(1)["diagnostic"].value("recheck", -1), 1);
  EXPECT_FALSE(eventsOf(output).at(1)["diagnostic"].contains("foregroundSource"));
}

TEST_F(QuickAddForegroundTest, WithoutAccessibilityFocusTheEventOrTheWorkspaceDecides) {
  desktop.setSystemWideError("AXFocusedApplication", AXError::cannotComplete);
  ASSERT_TRUE(focus(kEditorPid));
  EXPECT_EQ(steps().front(), "focus-app/ax-error");
  EXPECT_EQ(firstDiagnostic().value("axError", 0), -25204);
  EXPECT_EQ(eventsOf(output).at(1)["diagnostic"].value("foregroundSource", ""), "event");
  ASSERT_TRUE(focus(0));
  EXPECT_EQ(eventsOf(output).at(1)["diagnostic"].value("foregroundSource", ""), "workspace");
  // A helper process is no application of its own: the workspace's, if it is its tree.
  ASSERT_TRUE(focus(kHelperPid));
  EXPECT_EQ(eventsOf(output).at(1)["diagnostic"].value("foregroundSource", ""), "workspace");
  // The event's application has no window in front.
  EXPECT_FALSE(focus(kOtherPid));
  EXPECT_EQ(steps().back(), "focus-app/unconfirmed");
}

TEST_F(QuickAddForegroundTest, AWindowOfAnotherProcessInFrontIsRefused) {
  desktop.addProcess(800, 1);
  const auto overlay = desktop.addOverlayWindow(800, 0);
  EXPECT_FALSE(focus(kEditorPid));
  EXPECT_EQ(steps().back(), "focus-window/invalid-value");
  // A floating panel above the document layer is not the front window.
  desktop.removeOverlayWindow(overlay);
  desktop.addOverlayWindow(800, 25);
  EXPECT_TRUE(focus(kEditorPid));
  desktop.setWindowListFails(true);
  EXPECT_FALSE(focus(kEditorPid));
  EXPECT_EQ(steps().back(), "focus-window/invalid-value");
}

TEST_F(QuickAddForegroundTest, ProtectedAndForeignElementsAreRefused) {
  const auto password = desktop.addElement(ElementSpec(ElementKind::secureTextField, window));
  desktop.focusElement(password);
  EXPECT_FALSE(focus(kEditorPid));
  EXPECT_EQ(steps().back(), "protected-target/protected");

  desktop.addProcess(520, 1);
  const auto foreign = desktop.addElement(ElementSpec(ElementKind::textField, window).withPid(520));
  desktop.focusElement(foreign);
  EXPECT_FALSE(focus(kEditorPid));
  EXPECT_EQ(steps().back(), "focus-element-pid/process-mismatch");
  EXPECT_EQ(eventsOf(output).back()["diagnostic"].value("axError", -1), 0);
  desktop.setProcessIdError(foreign, AXError::cannotComplete);
  EXPECT_FALSE(focus(kEditorPid));
  EXPECT_EQ(eventsOf(output).back()["diagnostic"].value("axError", 0), -25204);

  // No focused element is no refusal: the window alone is a target.
  desktop.focusElement(field);
  desktop.setAttributeError(desktop.applicationElement(kEditorPid), "AXFocusedUIElement",
                            AXError::noValue);
  ASSERT_TRUE(focus(kEditorPid));
  EXPECT_EQ(steps().at(1), "focus-element/ax-error");
  EXPECT_EQ(eventsOf(output).back()["diagnostic"].value("hasElement", true), false);
}

TEST_F(QuickAddForegroundTest, OddAnswersAreDiagnosedWhereTheyCome) {
  // Not an element where one belongs: noted, and the other evidence decides.
  desktop.setSystemWideValue("AXFocusedApplication", std::string("Editor"));
  ASSERT_TRUE(focus(kEditorPid));
  EXPECT_EQ(steps().front(), "focus-app/invalid-value");
  desktop.setSystemWideValue("AXFocusedApplication", std::nullopt);

  const auto application = desktop.applicationElement(kEditorPid);
  desktop.setAttribute(application, "AXFocusedUIElement", std::string("field"));
  desktop.setAttribute(application, "AXFocusedWindow", true);
  ASSERT_TRUE(focus(kEditorPid));
  EXPECT_EQ(steps(), (Steps{"foreground-evidence/ready", "focus-element/invalid-value",
                            "focus-window/invalid-value", "foreground-evidence/ready",
                            "focus/ready"}));
  desktop.setAttributeError(application, "AXFocusedWindow", AXError::cannotComplete);
  ASSERT_TRUE(focus(kEditorPid));
  EXPECT_EQ(steps().at(2), "focus-window/ax-error");
}

TEST_F(QuickAddForegroundTest, AFocusedWindowWhoseOwnerCannotBeToldIsRefused) {
  desktop.setProcessIdError(window, AXError::cannotComplete);
  EXPECT_FALSE(focus(kEditorPid));
  EXPECT_EQ(steps().back(), "focus-window-pid/process-mismatch");
  EXPECT_EQ(eventsOf(output).back()["diagnostic"].value("axError", 0), -25204);
}

TEST_F(QuickAddForegroundTest, AWindowThatChangedUnderTheReadingIsRefused) {
  const auto second = desktop.addWindow(kEditorPid, "Second");
  const auto secondField = desktop.addElement(ElementSpec(ElementKind::textField, second));
  // The user switches windows between the reading and its confirmation.
  desktop.moveFocusAfterSystemWideReads("AXFocusedApplication", 2,
                                        desktop.focusTargetOf(secondField));
  EXPECT_FALSE(focus(kEditorPid));
  EXPECT_EQ(steps().back(), "focus-app-confirm/changed");

  // Expected in the first window while the second is in front.
  const ForegroundContext first{kEditorPid, desktop.windowNumber(window), std::nullopt};
  EXPECT_FALSE(focus(kEditorPid, first));
  EXPECT_EQ(steps(), (Steps{"foreground-evidence/ready", "focus-app-confirm/changed"}));

  // The same window number, but the application reports another window focused.
  const ForegroundContext withWindow{kEditorPid, desktop.windowNumber(second),
                                     desktop.handle(second)};
  desktop.setApplicationWindows(kEditorPid, window, window);
  EXPECT_FALSE(focus(kEditorPid, withWindow));
  EXPECT_EQ(steps().back(), "focus-window/changed");
}

}  // namespace
}  // namespace orvix::input_host::testing
