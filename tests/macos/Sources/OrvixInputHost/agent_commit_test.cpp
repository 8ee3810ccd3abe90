// "commit-agent" on the simulated desktop and virtual time: an editor in front, and an agent
// application (Claude by default) running behind it with one window.

#include <algorithm>
#include <chrono>

#include "input_host_fixture.h"
#include "OrvixInputHost/delivery/agent_accessibility.h"
#include "OrvixInputHost/delivery/agent_activation.h"
#include "OrvixInputHost/delivery/agent_composer.h"
#include "OrvixInputHost/delivery/agent_text.h"
#include "OrvixInputHost/delivery/agent_trace.h"

namespace orvix::input_host::testing {
namespace {

using namespace std::chrono_literals;
using platform::simulated::DraftDisplay;
using platform::simulated::kNoElement;
using platform::simulated::ReturnBehaviour;

constexpr ProcessId kAgentPid = 600;

struct Outcome {
  Json result;
  std::vector<Json> observations;

  std::vector<std::string> stages() const {
    std::vector<std::string> names;
    for (const auto& event : observations) names.push_back(event.value("stage", ""));
    return names;
  }
  bool has(const std::string& stage) const { return !find(stage).is_null(); }
  Json find(const std::string& stage) const {
    for (const auto& event : observations) {
      if (event.value("stage", "") == stage) return event;
    }
    return {};
  }
  std::string answer() const {
    // Appended, not concatenated: GCC 12 at -O3 warns falsely on `"/" + std::string`.
    std::string text = result.value("outcome", "");
    if (result.contains("reason")) text.append("/").append(result.value("reason", ""));
    return text;
  }
};

class AgentCommitTest : public InputHostTest {
 protected:
  AgentCommitTest() {
    desktop.addApplication({kAgentPid, "com.anthropic.claudefordesktop", "Claude", false});
    agentWindow = desktop.addWindow(kAgentPid, "Claude");
    desktop.setApplicationWindows(kAgentPid, agentWindow, agentWindow);
    grantPermission();
  }

  ElementSpec composer(const std::string& placeholder = "Message Claude") {
    return ElementSpec(ElementKind::textArea, agentWindow)
        .withAttribute("AXPlaceholderValue", placeholder)
        .withFrame(100, 600, 300, 40)
        .onReturnKey(ReturnBehaviour::clear);
  }

  Outcome commit(const std::string& target, const std::string& text,
                 const std::string& commandId = "agent") {
    Outcome outcome;
    for (auto& event : send(Json{{"schemaVersion", 2}, {"command", "commit-agent"},
                                 {"commandId", commandId}, {"sessionId", "s"},
                                 {"target", target}, {"text", text}})) {
      const std::string name = event.value("event", "");
      if (name == "agent.observation") outcome.observations.push_back(event);
      if (name == "command.result") outcome.result = event;
    }
    return outcome;
  }

  FocusTarget editorFocus() { return desktop.focusTargetOf(field); }

  ElementId agentWindow = 0;
};

TEST_F(AgentCommitTest, CommitsIntoAComposerAndReportsEveryStepInOrder) {
  const ElementId box = desktop.addElement(composer());
  const Duration start = time.now();
  const Outcome outcome = commit("claude-desktop", "Summarise the meeting");
  EXPECT_EQ(outcome.answer(), "committed");
  EXPECT_EQ(outcome.stages(),
            (std::vector<std::string>{"activation-begin", "activation-ready",
                                      "accessibility-requested", "composer-wait-begin",
                                      "focus-unavailable", "composer-scan", "composer-ready",
                                      "draft-observed", "draft-observed"}));
  const Json ready = outcome.find("activation-ready");
  EXPECT_EQ(ready.value("mode", ""), "background");
  EXPECT_EQ(ready.value("commandId", ""), "agent");
  EXPECT_EQ(ready.value("target", ""), "claude-desktop");
  EXPECT_GE(ready.value("elapsedMs", 0), 150);  // held in front for the stable period
  EXPECT_EQ(outcome.find("composer-scan").value("candidateCount", 0), 1);
  EXPECT_EQ(outcome.find("composer-scan").value("scanComplete", false), true);
  EXPECT_EQ(desktop.value(box), "");  // submitted
  EXPECT_EQ(desktop.pasteboardText(), "Summarise the meeting");
  EXPECT_LT(time.now() - start, 1s);
  // The same command id again: the cached answer, nothing done twice, no trace.
  const auto keysBefore = keyDowns().size();
  const Outcome replay = commit("claude-desktop", "Summarise the meeting");
  EXPECT_EQ(replay.answer(), "committed");
  EXPECT_TRUE(replay.observations.empty());
  EXPECT_EQ(keyDowns().size(), keysBefore);
}

TEST_F(AgentCommitTest, TargetsAreFoundByBundleIdentifierThenByName) {
  desktop.addElement(composer("Claude Code: describe a task"));
  // Both Claude targets live in the same application.
  EXPECT_EQ(commit("claude-code", "a", "1").answer(), "committed");
  EXPECT_EQ(commit("claude-desktop", "b", "2").answer(), "committed");

  // WorkBuddy installed only under its second identifier, not running: launched.
  desktop.addApplication({700, "com.workbuddy.workbuddy", "WorkBuddy", false});
  desktop.installApplication(700, "/Applications/WorkBuddy.app", false, 400ms);
  const ElementId buddyWindow = desktop.addWindow(700, "WorkBuddy");
  desktop.addElement(ElementSpec(ElementKind::textArea, buddyWindow)
                         .withAttribute("AXPlaceholderValue", "今天帮你做些什么")
                         .onReturnKey(ReturnBehaviour::clear));
  desktop.setFocus(editorFocus());
  const Outcome launched = commit("workbuddy", "你好", "3");
  EXPECT_EQ(launched.answer(), "committed");
  EXPECT_EQ(launched.find("activation-begin").value("mode", ""), "cold-start");
  EXPECT_GE(launched.find("activation-begin").value("elapsedMs", 0), 400);

  // Running under another identifier, named in other letter case: found by name.
  desktop.endProcess(700);
  desktop.addApplication({710, "com.example.fork", "WORKBUDDY", false});
  const ElementId forkWindow = desktop.addWindow(710, "Fork");
  desktop.setApplicationWindows(710, forkWindow, kNoElement);
  desktop.addElement(ElementSpec(ElementKind::textArea, forkWindow)
                         .withAttribute("AXPlaceholderValue", "调用技能与指令")
                         .onReturnKey(ReturnBehaviour::clear));
  EXPECT_EQ(commit("workbuddy", "再见", "4").answer(), "committed");

  // Codex neither running nor installed.
  const Outcome missing = commit("codex", "x", "5");
  EXPECT_EQ(missing.answer(), "failed/UNAVAILABLE");
  EXPECT_TRUE(missing.observations.empty());
}

TEST_F(AgentCommitTest, ActivationModesDeadlinesAndTheStabilityRestart) {
  desktop.addElement(composer());
  // Already in front with a window: foreground, 1 s to become ready.
  desktop.setFocus(FocusTarget{kAgentPid, agentWindow, kNoElement});
  EXPECT_EQ(commit("claude-desktop", "a", "1").find("activation-begin").value("mode", ""),
            "foreground");

  // Loses the front after 0.1 s and regains it 20 ms later: the 0.15 s count starts again.
  desktop.setFocus(editorFocus());
  desktop.setApplicationHidden(kAgentPid, true);
  const Duration start = time.now();
  desktop.moveFocusAt(start + 100ms, editorFocus());
  desktop.moveFocusAt(start + 120ms, FocusTarget{kAgentPid, agentWindow, kNoElement});
  const Outcome restarted = commit("claude-desktop", "b", "2");
  EXPECT_EQ(restarted.find("activation-begin").value("mode", ""), "background");
  EXPECT_GE(restarted.find("activation-ready").value("elapsedMs", 0), 120 + 150);

  // Never stays in front: the background deadline of 2.5 s, and what it saw.
  desktop.setFocus(editorFocus());
  for (int i = 1; i <= 40; ++i) {
    desktop.moveFocusAt(time.now() + i * 100ms, editorFocus());
    desktop.moveFocusAt(time.now() + i * 100ms + 60ms, FocusTarget{kAgentPid, agentWindow, 0});
  }
  const Outcome deadline = commit("claude-desktop", "c", "3");
  EXPECT_EQ(deadline.answer(), "failed/UNAVAILABLE");
  const Json last = deadline.find("activation-deadline");
  ASSERT_FALSE(last.is_null());
  EXPECT_GE(last.value("elapsedMs", 0), 2500);
  EXPECT_LT(last.value("elapsedMs", 0), 2600);

  // The system refuses the activation.
  time.advanceBy(5s);
  desktop.setFocus(editorFocus());
  desktop.setActivationRefused(kAgentPid, true);
  EXPECT_EQ(commit("claude-desktop", "d", "4").answer(), "failed/UNAVAILABLE");
}

TEST_F(AgentCommitTest, WindowSelectionNeedsAFocusedMainOrOnlyWindow) {
  EXPECT_EQ(selectAgentWindow(std::nullopt, std::nullopt, 1)->kind,
            AgentWindowSelection::Kind::only);
  EXPECT_EQ(selectAgentWindow(5, 1, 2)->kind, AgentWindowSelection::Kind::main);
  EXPECT_FALSE(selectAgentWindow(std::nullopt, std::nullopt, 2));
  EXPECT_FALSE(selectAgentWindow(0, 0, 0));

  // Two windows, neither focused nor main: nothing to work in.
  desktop.addElement(composer());
  desktop.addWindow(kAgentPid, "Second");
  desktop.setApplicationWindows(kAgentPid, kNoElement, kNoElement);
  const Outcome outcome = commit("claude-desktop", "a");
  EXPECT_EQ(outcome.answer(), "failed/NO_EDITABLE_TARGET");
  EXPECT_EQ(outcome.find("window-unresolved").value("windowCount", 0), 2);
  // Asked at every poll of every step, said once.
  const auto stages = outcome.stages();
  EXPECT_EQ(std::count(stages.begin(), stages.end(), "window-unresolved"), 1);
}

TEST_F(AgentCommitTest, ScoringPicksOnlyAnUnambiguousComposerFromACompleteScan) {
  EXPECT_FALSE(selectAgentComposer({10, 10}, true));
  EXPECT_FALSE(selectAgentComposer({10, 1}, true));  // a rival with a positive score
  EXPECT_EQ(selectAgentComposer({1, 100, 10}, true), 1u);
  EXPECT_FALSE(selectAgentComposer({100, 100}, true));
  EXPECT_FALSE(selectAgentComposer({100}, false));
  EXPECT_EQ(selectAgentComposer({0, 10}, true), 1u);

  // A plain text area is a candidate for Claude's chat but not for Claude Code, which needs
  // its own signature; signatures match inside longer text in any letter case.
  const ElementId plain =
      desktop.addElement(ElementSpec(ElementKind::textArea, agentWindow).onReturnKey(ReturnBehaviour::clear));
  EXPECT_EQ(commit("claude-code", "a", "1").answer(), "failed/NO_EDITABLE_TARGET");
  EXPECT_EQ(commit("claude-desktop", "a", "2").answer(), "committed");
  // A disabled rival, a secure field and a button are no candidates.
  desktop.addElement(ElementSpec(ElementKind::textField, agentWindow).withAttribute("AXEnabled", false));
  desktop.addElement(ElementSpec(ElementKind::secureTextField, agentWindow));
  desktop.addElement(ElementSpec(ElementKind::button, agentWindow).withTitle("Message Claude"));
  EXPECT_EQ(commit("claude-desktop", "b", "3").answer(), "committed");
  // An enabled field is a rival: ambiguous until a signature settles it.
  desktop.addElement(ElementSpec(ElementKind::textField, agentWindow));
  EXPECT_EQ(commit("claude-desktop", "c", "4").answer(), "failed/NO_EDITABLE_TARGET");
  desktop.setAttribute(plain, "AXDescription", "Please MESSAGE CLAUDE here");
  EXPECT_EQ(commit("claude-desktop", "d", "5").answer(), "committed");
}

TEST_F(AgentCommitTest, ScansStopAtTheirBudgetsAndThenChooseNothing) {
  // The composer is scored early, then 5,000 more elements: the scan stops at 4,096 entries,
  // and what it left unseen might hold a rival, so even a signature is not taken.
  desktop.addElement(composer());
  const ElementId group = desktop.addElement(ElementSpec(ElementKind::generic, agentWindow));
  for (int i = 0; i < 10; ++i) {
    const ElementId row = desktop.addElement(ElementSpec(ElementKind::generic, group));
    for (int j = 0; j < 499; ++j) desktop.addElement(ElementSpec(ElementKind::staticText, row));
  }
  const Outcome large = commit("claude-desktop", "a", "1");
  EXPECT_EQ(large.answer(), "failed/NO_EDITABLE_TARGET");
  const Json scan = large.find("composer-scan");
  EXPECT_EQ(scan.value("visitedCount", 0), 4096);
  EXPECT_EQ(scan.value("candidateCount", 0), 1);
  EXPECT_EQ(scan.value("scanComplete", true), false);
  EXPECT_TRUE(large.has("composer-deadline"));  // the step that gave up says so
}

TEST_F(AgentCommitTest, ChildrenPastTheCutLeaveTheScanIncomplete) {
  // A search field, 520 messages, then the real composer, all in one list: the composer lies
  // past the 512 children read, and the search field must not win by being the only one seen.
  const ElementId list = desktop.addElement(ElementSpec(ElementKind::generic, agentWindow));
  const ElementId search = desktop.addElement(
      ElementSpec(ElementKind::textField, list).withAttribute("AXPlaceholderValue", "Search chats"));
  for (int i = 0; i < 520; ++i) desktop.addElement(ElementSpec(ElementKind::staticText, list));
  desktop.addElement(ElementSpec(ElementKind::textArea, list)
                         .withAttribute("AXPlaceholderValue", "Message Claude")
                         .onReturnKey(ReturnBehaviour::clear));
  const Outcome cut = commit("claude-desktop", "Summarise the meeting");
  EXPECT_EQ(cut.answer(), "failed/NO_EDITABLE_TARGET");
  EXPECT_EQ(cut.find("composer-scan").value("scanComplete", true), false);
  EXPECT_EQ(desktop.value(search), "");
}

TEST_F(AgentCommitTest, AnOldDraftIsNoProofOfThePaste) {
  // Codex shows its draft as a length only, and already holds a longer unsent one; this
  // composer never takes the paste. Neither the old draft's length nor Return may pass.
  desktop.addApplication({800, "com.openai.codex", "Codex", false});
  const ElementId codexWindow = desktop.addWindow(800, "Codex");
  desktop.setApplicationWindows(800, codexWindow, codexWindow);
  const std::string old = "rm -rf the staging database and redeploy";
  const ElementId box = desktop.addElement(ElementSpec(ElementKind::textArea, codexWindow)
                                               .withAttribute("AXPlaceholderValue", "Ask Codex anything")
                                               .withValue(old)
                                               .withPasteLatency(1h)
                                               .showing(DraftDisplay::countOnly)
                                               .onReturnKey(ReturnBehaviour::clear));
  EXPECT_EQ(commit("codex", "Summarise the meeting", "1").answer(), "unknown/TARGET_CHANGED");
  EXPECT_EQ(desktop.value(box), old);  // no Return
  // The same text already in the draft: found there before the paste, so the paste must grow it.
  desktop.removeElement(box);
  const ElementId holder = desktop.addElement(ElementSpec(ElementKind::textArea, codexWindow)
                                                  .withAttribute("AXPlaceholderValue", "Ask Codex anything")
                                                  .withValue("Summarise the meeting")
                                                  .withPasteLatency(1h)
                                                  .onReturnKey(ReturnBehaviour::clear));
  EXPECT_EQ(commit("codex", "Summarise the meeting", "2").answer(), "unknown/TARGET_CHANGED");
  EXPECT_EQ(desktop.value(holder), "Summarise the meeting");
}

TEST_F(AgentCommitTest, TheDraftMustLeaveTheComposerNotJustTheFocus) {
  // The agent keeps the draft after Return and moves the focus to a "Model" button: the
  // composer is read itself, and still holds the draft.
  const ElementId box = desktop.addElement(composer().onReturnKey(ReturnBehaviour::none));
  const ElementId model = desktop.addElement(ElementSpec(ElementKind::button, agentWindow).withTitle("Model"));
  // Count reads: the composer before the paste, the draft, then the first after Return.
  desktop.moveFocusAfterAttributeReads("AXNumberOfCharacters", 3, desktop.focusTargetOf(model));
  EXPECT_EQ(commit("claude-desktop", "Summarise the meeting").answer(), "unknown/UNAVAILABLE");
  EXPECT_EQ(desktop.value(box), "Summarise the meeting");
}

TEST_F(AgentCommitTest, AHungAgentCostsItsBudgetsAndOneCallAndNoClickLandsOnAnotherWindow) {
  const ElementId box = desktop.addElement(composer());
  desktop.setApplicationCallCost(kAgentPid, 1h);
  const Duration before = time.now();
  EXPECT_EQ(commit("claude-desktop", "a", "1").answer(), "failed/NO_EDITABLE_TARGET");
  // Activation's raise (1 s) and the composer wait (4 s while the switch could be on), not the
  // system's 6 s default for each of dozens of calls.
  EXPECT_LT(time.now() - before, 7s);
  desktop.setApplicationCallCost(kAgentPid, Duration::zero());

  // A composer that takes the focus only from a click, under another process's floating panel.
  desktop.removeElement(box);
  desktop.setFocus(editorFocus());
  desktop.addElement(composer().ignoringFocusWrite());
  desktop.addOverlayWindow(900, 3);
  desktop.clearPostedEvents();
  EXPECT_EQ(commit("claude-desktop", "b", "2").answer(), "failed/NO_EDITABLE_TARGET");
  for (const auto& event : desktop.postedEvents()) EXPECT_NE(event.type, platform::EventType::leftMouseDown);
}

TEST_F(AgentCommitTest, ASlowTreeRunsOutOfTheScanBudget) {
  for (int i = 0; i < 40; ++i) desktop.addElement(ElementSpec(ElementKind::staticText, agentWindow));
  desktop.addElement(composer());
  desktop.setApplicationCallCost(kAgentPid, 3ms);
  const Outcome slow = commit("claude-desktop", "a");
  EXPECT_EQ(slow.answer(), "failed/NO_EDITABLE_TARGET");
  const Json scan = slow.find("composer-scan");
  EXPECT_EQ(scan.value("scanComplete", true), false);
  EXPECT_LT(scan.value("visitedCount", 0), 42);
  // The readiness deadline passes inside a scan, so the loop says so before it gives up.
  EXPECT_TRUE(slow.has("composer-deadline"));
}

TEST_F(AgentCommitTest, FocusByAttributeElseByAClickAtTheCentre) {
  const ElementId box = desktop.addElement(composer().ignoringFocusWrite());
  EXPECT_EQ(commit("claude-desktop", "clicked", "1").answer(), "committed");
  const auto posted = desktop.postedEvents();
  const auto click = std::find_if(posted.begin(), posted.end(), [](const auto& event) {
    return event.type == platform::EventType::leftMouseDown;
  });
  ASSERT_NE(click, posted.end());
  EXPECT_EQ(click->location, (platform::ScreenPoint{250, 620}));

  // Too small to aim at: not clicked.
  desktop.setFocus(FocusTarget{kAgentPid, agentWindow, kNoElement});
  desktop.setFocus(editorFocus());
  desktop.setAttribute(box, "AXSize", platform::AXSize{3, 40});
  desktop.clearPostedEvents();
  EXPECT_EQ(commit("claude-desktop", "tiny", "2").answer(), "failed/NO_EDITABLE_TARGET");
  for (const auto& event : desktop.postedEvents()) {
    EXPECT_NE(event.type, platform::EventType::leftMouseDown);
  }

  // The focus already in the composer: taken as it is, without a scan or a click.
  desktop.setFocus(FocusTarget{kAgentPid, agentWindow, box});
  const Outcome focused = commit("claude-desktop", "focused", "3");
  EXPECT_EQ(focused.answer(), "committed");
  EXPECT_TRUE(focused.has("composer-focused"));
  EXPECT_FALSE(focused.has("composer-scan"));
}

TEST_F(AgentCommitTest, TheReadinessLoopWakesForLateComposersAndGivesUpOnWindowSwaps) {
  // The composer appears 700 ms in, announced by a notification: found at once, not at the
  // next 250 ms fallback tick.
  const ElementId first = desktop.addElement(composer().appearingAfter(700ms));
  const Outcome late = commit("claude-desktop", "late", "1");
  EXPECT_EQ(late.answer(), "committed");
  const auto readyAt = late.find("composer-ready").value("elapsedMs", 0);
  EXPECT_GE(readyAt, 700);
  EXPECT_LE(readyAt, 720);
  EXPECT_GT(desktop.counters().notificationsDelivered, 0);

  // The agent switches to another window while the host waits for the composer.
  desktop.removeElement(first);
  desktop.setFocus(FocusTarget{kAgentPid, agentWindow, kNoElement});
  desktop.setFocus(editorFocus());
  const ElementId other = desktop.addWindow(kAgentPid, "Other");
  desktop.addElement(composer().appearingAfter(900ms));
  desktop.moveFocusAt(time.now() + 500ms, FocusTarget{kAgentPid, other, kNoElement});
  const Outcome swapped = commit("claude-desktop", "swap", "2");
  EXPECT_EQ(swapped.answer(), "failed/NO_EDITABLE_TARGET");
  EXPECT_TRUE(swapped.has("composer-target-changed"));
}

TEST_F(AgentCommitTest, SwitchingOnTheTreeGivesAForegroundAgentFourSeconds) {
  desktop.setAccessibilityGate(kAgentPid, platform::simulated::AccessibilityGate::enhanced);
  desktop.setFocus(FocusTarget{kAgentPid, agentWindow, kNoElement});
  const Duration before = time.now();
  const Outcome outcome = commit("claude-desktop", "a");
  const Json requested = outcome.find("accessibility-requested");
  EXPECT_EQ(requested.value("accessibilityMethod", ""), "enhanced");
  EXPECT_EQ(requested.value("accessibilityResult", -1), 0);
  EXPECT_EQ(outcome.answer(), "failed/NO_EDITABLE_TARGET");
  EXPECT_GE(time.now() - before, 4s);  // not the foreground second alone
  EXPECT_LT(time.now() - before, 5s);  // and no more than one scan past it

  const auto unsupported = [](std::string_view) -> std::optional<bool> { return std::nullopt; };
  const auto result = requestAgentAccessibility(unsupported, [](std::string_view attribute) {
    return attribute == "AXManualAccessibility" ? -25208 : -25200;
  });
  EXPECT_EQ(result.method, "enhanced");
  EXPECT_EQ(result.result, -25200);
  EXPECT_FALSE(result.requested);
  EXPECT_FALSE(requestAgentAccessibility([](std::string_view) { return true; },
                                         [](std::string_view) { return 0; })
                   .requested);
}

TEST_F(AgentCommitTest, DraftsAreComparedNormalised) {
  EXPECT_EQ(normalizedAgentDraft("\uFEFF  a\u00A0b \n"), "a b");
  EXPECT_EQ(normalizedAgentDraft(" \n\t "), "");

  const ElementId padded = desktop.addElement(composer().showing(DraftDisplay::nonBreakingSpaces));
  EXPECT_EQ(commit("claude-desktop", "two words", "1").answer(), "committed");
  desktop.removeElement(padded);
  const ElementId newline = desktop.addElement(composer().showing(DraftDisplay::trailingNewline));
  EXPECT_EQ(commit("claude-desktop", "line", "2").answer(), "committed");
  // Only white space could never be confirmed: refused before anything is activated or pasted.
  const auto keysBefore = keyDowns().size();
  EXPECT_EQ(commit("claude-desktop", " \u00A0\n ", "3").answer(), "failed/UNAVAILABLE");
  EXPECT_EQ(keyDowns().size(), keysBefore);
  EXPECT_EQ(desktop.pasteboardText(), "line");
  desktop.removeElement(newline);

  // Shown only as a count: enough for Codex, not for Claude.
  desktop.addElement(composer("Ask Codex anything").showing(DraftDisplay::countOnly));
  EXPECT_EQ(commit("claude-desktop", "counted", "4").answer(), "unknown/TARGET_CHANGED");
  desktop.addApplication({800, "com.openai.codex", "Codex", false});
  const ElementId codexWindow = desktop.addWindow(800, "Codex");
  desktop.setApplicationWindows(800, codexWindow, codexWindow);
  desktop.addElement(ElementSpec(ElementKind::textArea, codexWindow)
                         .withAttribute("AXPlaceholderValue", "Ask Codex anything")
                         .showing(DraftDisplay::countOnly)
                         .onReturnKey(ReturnBehaviour::clear));
  EXPECT_EQ(commit("codex", "counted", "5").answer(), "committed");
}

TEST_F(AgentCommitTest, EveryWayOutOfTheFlowHasItsAnswer) {
  const ElementId box = desktop.addElement(composer());
  const FocusTarget agent{kAgentPid, agentWindow, kNoElement};
  const auto fresh = [&] {
    desktop.setFocus(editorFocus());
    desktop.setValue(box, "");
    desktop.limitEventCreations(std::nullopt);
  };

  desktop.setPasteboardSetStringFails(true);
  EXPECT_EQ(commit("claude-desktop", "a", "1").answer(), "failed/UNAVAILABLE");
  desktop.setPasteboardSetStringFails(false);

  fresh();
  desktop.moveFocusOnPasteboardWrite(editorFocus());
  EXPECT_EQ(commit("claude-desktop", "b", "2").answer(), "copy-only/TARGET_CHANGED");
  EXPECT_EQ(desktop.pasteboardText(), "b");

  fresh();
  desktop.limitEventCreations(0);
  EXPECT_EQ(commit("claude-desktop", "c", "3").answer(), "copy-only/UNAVAILABLE");

  fresh();
  desktop.moveFocusOnPaste(editorFocus());
  EXPECT_EQ(commit("claude-desktop", "d", "4").answer(), "unknown/TARGET_CHANGED");

  // The draft arrived, then the focus left before Return: no Return is posted.
  fresh();
  desktop.clearPostedEvents();
  // (The first count read is the composer's before the paste, the second the draft's.)
  desktop.moveFocusAfterAttributeReads("AXNumberOfCharacters", 2, editorFocus());
  EXPECT_EQ(commit("claude-desktop", "e", "5").answer(), "unknown/TARGET_CHANGED");
  for (const auto& key : keyDowns()) EXPECT_NE(key.keyCode, keyCodeReturn);

  fresh();
  desktop.limitEventCreations(2);  // the paste, not the Return
  EXPECT_EQ(commit("claude-desktop", "f", "6").answer(), "unknown/UNAVAILABLE");

  // The agent keeps its draft after Return; or removes the composer with it.
  fresh();
  const ElementId keeper = desktop.addElement(composer("Chat with Claude").onReturnKey(ReturnBehaviour::none));
  desktop.removeElement(box);
  EXPECT_EQ(commit("claude-desktop", "g", "7").answer(), "unknown/UNAVAILABLE");
  desktop.removeElement(keeper);
  desktop.addElement(composer().onReturnKey(ReturnBehaviour::remove));
  fresh();
  EXPECT_EQ(commit("claude-desktop", "h", "8").answer(), "committed");
  (void)agent;
}

TEST(AgentTraceTest, EventsOnlyDuringACommandAndEachFocusFailureOnce) {
  VirtualTimeSource time;
  MemoryLineSink events;
  MemoryLineSink copy;
  EventOutput output(events);
  AgentTrace trace(output, time.clock(), &copy);
  trace.trace({{"stage", "outside"}, {"pid", 1}});
  EXPECT_TRUE(events.lines().empty());
  EXPECT_EQ(copy.lines(), std::vector<std::string>{"{\"pid\":1,\"stage\":\"outside\"}\n"});

  trace.begin("c", "codex");
  time.advanceBy(70s);
  trace.trace({{"stage", "s"}, {"visited", 3}, {"complete", "yes"}, {"queued", 4}});
  const Json event = Json::parse(events.lines().at(0));
  EXPECT_EQ(event.value("elapsedMs", 0), 60000);  // clamped
  EXPECT_EQ(event.value("visitedCount", 0), 3);
  EXPECT_FALSE(event.contains("scanComplete"));  // wrong type
  EXPECT_FALSE(event.contains("queued"));        // not a key the event carries

  events.clear();
  for (int i = 0; i < 12; ++i) trace.focusFailure("focus-unavailable", -25200 - i % 10);
  trace.focusFailure("focus-unavailable", -25200);
  EXPECT_EQ(events.lines().size(), 8u);
  trace.end();
  events.clear();
  trace.focusFailure("focus-unavailable", -25200);
  EXPECT_TRUE(events.lines().empty());
}

}  // namespace
}  // namespace orvix::input_host::testing
