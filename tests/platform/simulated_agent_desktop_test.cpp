// What the simulated desktop does for the agent commit: opening and activating applications,
// observers, slow applications, composers that behave like real ones, and failures answered
// as the platform answers them.

#include <chrono>

#include "desktop_test_support.h"
#include "platform/simulated/desktop/scenario_loader.h"

namespace orvix::platform::simulated::testing {
namespace {

using namespace std::chrono_literals;

constexpr ProcessId kAgent = 701;

class AgentDesktopTest : public DesktopTest {
 protected:
  AgentDesktopTest() {
    desktop.addApplication({kAgent, "com.example.agent", "Agent", false});
    desktop.installApplication(kAgent, "/Applications/Agent.app", /*running=*/false, 300ms);
    agentWindow = desktop.addWindow(kAgent, "Agent");
    composer = desktop.addElement(ElementSpec(ElementKind::textArea, agentWindow)
                                      .appearingAfter(200ms)
                                      .withFrame(10, 500, 300, 40)
                                      .onReturnKey(ReturnBehaviour::clear));
  }

  // Opens the agent and waits until its composer is there.
  void launchAgent() {
    desktop.workspace().openApplication("/Applications/Agent.app", OpenConfiguration{},
                                        [](auto) {});
    time.advanceBy(500ms);
  }

  AXElement agentApplication() { return desktop.accessibility().applicationElement(kAgent); }

  ElementId agentWindow = kNoElement;
  ElementId composer = kNoElement;
};

TEST_F(AgentDesktopTest, AnInstalledApplicationLaunchesWhenOpenedAndGrowsItsLateElements) {
  Workspace& workspace = desktop.workspace();
  EXPECT_FALSE(workspace.runningApplication(kAgent)->terminated == false);
  EXPECT_FALSE(workspace.activate(kAgent, kActivateAllWindows));  // not running
  EXPECT_FALSE(workspace.applicationLocation("com.example.missing"));
  const auto location = workspace.applicationLocation("com.example.agent");
  ASSERT_EQ(location, "/Applications/Agent.app");

  std::optional<RunningApplication> opened;
  bool done = false;
  workspace.openApplication(*location, OpenConfiguration{}, [&](auto application) {
    opened = application;
    done = true;
  });
  time.advanceBy(299ms);
  EXPECT_FALSE(done);
  time.advanceBy(1ms);  // the completion runs on the main loop, which advanceBy pumps
  ASSERT_TRUE(done);
  ASSERT_TRUE(opened);
  EXPECT_FALSE(opened->terminated);
  EXPECT_TRUE(opened->active);  // activates by default
  EXPECT_EQ(workspace.frontmostApplication()->pid, kAgent);
  EXPECT_FALSE(desktop.present(composer));
  time.advanceBy(200ms);
  EXPECT_TRUE(desktop.present(composer));

  desktop.setApplicationHidden(kAgent, true);
  EXPECT_TRUE(workspace.unhide(kAgent));
  EXPECT_FALSE(workspace.runningApplication(kAgent)->hidden);
  desktop.setActivationRefused(kAgent, true);
  EXPECT_FALSE(workspace.activate(kAgent, kActivateAllWindows));
}

TEST_F(AgentDesktopTest, ObserversHearOnlyWhileRegisteredAndOnTheirLoop) {
  launchAgent();
  Accessibility& ax = desktop.accessibility();
  int heard = 0;
  void* seenContext = nullptr;
  auto result = ax.createObserver(kAgent, [&](const AXElement&, std::string_view, void* context) {
    ++heard;
    seenContext = context;
  });
  ASSERT_EQ(result.error, AXError::success);
  AXObserver& observer = *result.observer;
  int context = 0;
  EXPECT_EQ(observer.addNotification(agentApplication(), "AXCreated", &context), AXError::success);
  EXPECT_EQ(observer.addNotification(agentApplication(), "AXCreated", &context),
            AXError::notificationAlreadyRegistered);
  EXPECT_EQ(observer.addNotification(agentApplication(), "AXMadeUp", nullptr),
            AXError::notificationUnsupported);

  // Without a run-loop source nothing is delivered.
  const ElementId early = desktop.addElement(
      ElementSpec(ElementKind::staticText, agentWindow).appearingAfter(10ms));
  time.advanceBy(20ms);
  EXPECT_TRUE(desktop.present(early));
  EXPECT_EQ(heard, 0);

  // Delivered on the loop the source was added to, when that loop runs.
  const auto loop = time.makeRunLoop("observer");
  observer.addRunLoopSource(*loop);
  desktop.addElement(ElementSpec(ElementKind::staticText, agentWindow).appearingAfter(10ms));
  time.advanceBy(20ms);
  EXPECT_EQ(heard, 0);
  loop->runFor(1ms);
  EXPECT_EQ(heard, 1);
  EXPECT_EQ(seenContext, &context);

  // Posted while registered but removed before the loop ran: not delivered.
  desktop.addElement(ElementSpec(ElementKind::staticText, agentWindow).appearingAfter(10ms));
  time.advanceBy(20ms);
  EXPECT_EQ(observer.removeNotification(agentApplication(), "AXCreated"), AXError::success);
  loop->runFor(1ms);
  EXPECT_EQ(heard, 1);
  EXPECT_EQ(observer.removeNotification(agentApplication(), "AXCreated"),
            AXError::notificationNotRegistered);
}

TEST_F(AgentDesktopTest, SlowApplicationsCostVirtualTimeAndTimeOutHonestly) {
  launchAgent();
  desktop.setApplicationCallCost(kAgent, 50ms);
  Accessibility& ax = desktop.accessibility();
  const Duration start = time.now();
  EXPECT_EQ(read(agentWindow, "AXRole").error, AXError::success);
  EXPECT_EQ(time.now() - start, 50ms);

  ASSERT_EQ(ax.setMessagingTimeout(desktop.handle(agentWindow), 0.02f), AXError::success);
  EXPECT_EQ(read(agentWindow, "AXRole").error, AXError::cannotComplete);
  EXPECT_EQ(time.now() - start, 50ms + 20ms);
  // Other elements keep the default, and 0 restores it.
  EXPECT_EQ(read(agentApplication(), "AXRole").error, AXError::success);
  ASSERT_EQ(ax.setMessagingTimeout(desktop.handle(agentWindow), 0), AXError::success);
  EXPECT_EQ(read(agentWindow, "AXRole").error, AXError::success);
  // Fast elements elsewhere cost nothing.
  const Duration before = time.now();
  read(field, "AXRole");
  EXPECT_EQ(time.now(), before);
}

TEST_F(AgentDesktopTest, ActionsAndWritesAnswerAsThePlatformWould) {
  launchAgent();
  Accessibility& ax = desktop.accessibility();
  const ElementId other = desktop.addWindow(kAgent, "Second");
  desktop.setApplicationWindows(kAgent, agentWindow, kNoElement);

  EXPECT_EQ(ax.performAction(desktop.handle(field), "AXRaise"), AXError::actionUnsupported);
  EXPECT_EQ(ax.setAttributeValue(desktop.handle(field), "AXMadeUp", true),
            AXError::attributeUnsupported);
  EXPECT_EQ(ax.setAttributeValue(desktop.handle(other), "AXMinimized", true), AXError::success);
  EXPECT_EQ(std::get<bool>(read(other, "AXMinimized").value), true);
  EXPECT_EQ(ax.setAttributeValue(desktop.handle(other), "AXMinimized", std::string("no")),
            AXError::illegalArgument);
  EXPECT_EQ(ax.performAction(desktop.handle(other), "AXRaise"), AXError::success);
  EXPECT_TRUE(holdsElement(read(agentApplication(), "AXFocusedWindow"), desktop.handle(other)));
  EXPECT_TRUE(holdsElement(read(agentApplication(), "AXMainWindow"), desktop.handle(other)));

  // A tree built only on request: "AXManualAccessibility" opens it; an application that only
  // knows "AXEnhancedUserInterface" refuses the other.
  desktop.setAccessibilityGate(kAgent, AccessibilityGate::manual);
  EXPECT_TRUE(std::get<std::vector<AXElement>>(read(agentWindow, "AXChildren").value).empty());
  EXPECT_EQ(ax.setAttributeValue(agentApplication(), "AXEnhancedUserInterface", true),
            AXError::attributeUnsupported);
  EXPECT_EQ(ax.setAttributeValue(agentApplication(), "AXManualAccessibility", true),
            AXError::success);
  EXPECT_EQ(std::get<std::vector<AXElement>>(read(agentWindow, "AXChildren").value).size(), 1u);
  desktop.setAccessibilityGate(kAgent, AccessibilityGate::enhanced);
  EXPECT_EQ(ax.setAttributeValue(agentApplication(), "AXManualAccessibility", true),
            AXError::attributeUnsupported);
  EXPECT_EQ(ax.setAttributeValue(agentApplication(), "AXEnhancedUserInterface", true),
            AXError::success);
}

TEST_F(AgentDesktopTest, ComposersShowDraftsTheirOwnWayAndSubmitOnReturn) {
  launchAgent();
  const ElementId padded = desktop.addElement(
      ElementSpec(ElementKind::textArea, agentWindow).withValue("a b").showing(DraftDisplay::nonBreakingSpaces));
  const ElementId counted = desktop.addElement(
      ElementSpec(ElementKind::textArea, agentWindow).withValue("abc").showing(DraftDisplay::countOnly));
  const ElementId ranged = desktop.addElement(
      ElementSpec(ElementKind::textArea, agentWindow).withValue("abc").showing(DraftDisplay::rangeOnly));
  Accessibility& ax = desktop.accessibility();
  EXPECT_EQ(std::get<std::string>(read(padded, "AXValue").value), "a\u00A0b");
  EXPECT_EQ(read(counted, "AXValue").error, AXError::noValue);
  EXPECT_EQ(std::get<double>(read(counted, "AXNumberOfCharacters").value), 3);
  EXPECT_EQ(ax.copyParameterizedAttributeValue(desktop.handle(counted), "AXStringForRange",
                                               TextRange{0, 3}).error,
            AXError::parameterizedAttributeUnsupported);
  EXPECT_EQ(read(ranged, "AXValue").error, AXError::noValue);
  EXPECT_EQ(std::get<AXAttributedString>(
                ax.copyParameterizedAttributeValue(desktop.handle(ranged),
                                                   "AXAttributedStringForRange", TextRange{1, 2})
                    .value)
                .string,
            "bc");

  // A click inside the composer's frame focuses it; Return then submits and empties it.
  desktop.setFocus(FocusTarget{kAgent, agentWindow, kNoElement});
  desktop.setPointer({160, 520});
  for (const EventType type : {EventType::leftMouseDown, EventType::leftMouseUp}) {
    auto event = desktop.inputEvents().createMouseEvent(nullptr, type, {160, 520}, MouseButton::left);
    desktop.inputEvents().post(EventTapLocation::hid, *event);
  }
  EXPECT_EQ(desktop.focusedElement(), composer);
  paste("hello");
  EXPECT_EQ(desktop.value(composer), "hello");
  postKey(36);
  EXPECT_EQ(desktop.value(composer), "");
}

TEST(AgentScenarioTest, DefaultWorldHasCodexInstalledAndClaudeHidden) {
  VirtualTimeSource time;
  auto result = loadScenario("default", time);
  ASSERT_TRUE(std::holds_alternative<LoadedScenario>(result));
  auto& world = std::get<LoadedScenario>(result);
  Workspace& workspace = world.desktop->workspace();
  EXPECT_EQ(workspace.frontmostApplication()->bundleIdentifier, "com.example.editor");
  const auto claude = workspace.runningApplication(701);
  ASSERT_TRUE(claude);
  EXPECT_TRUE(claude->hidden);
  EXPECT_TRUE(workspace.runningApplication(601)->terminated);  // Codex: installed, not running
  EXPECT_TRUE(workspace.applicationLocation("com.openai.codex"));
  EXPECT_FALSE(workspace.applicationLocation("com.tencent.workbuddy.mac"));
  EXPECT_FALSE(world.desktop->present(world.element("codex-composer")));

  // The agent keys are checked like every other.
  for (const char* bad : {
           R"({"applications":[{"pid":5,"running":false}]})",
           R"({"applications":[{"pid":5,"location":"/A","focusedWindow":"nowhere"}]})",
           R"({"applications":[{"pid":5,"windows":[{"children":[{"shows":"sideways"}]}]}]})",
           R"({"applications":[{"pid":5,"windows":[{"frame":[0,0,-1,4]}]}]})",
           R"({"applications":[{"pid":5,"callCostMs":-1}]})",
       }) {
    EXPECT_TRUE(std::holds_alternative<ScenarioError>(loadScenarioText(bad, time))) << bad;
  }
}

}  // namespace
}  // namespace orvix::platform::simulated::testing
