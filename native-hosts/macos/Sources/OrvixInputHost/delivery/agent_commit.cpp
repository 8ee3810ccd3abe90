#include "OrvixInputHost/delivery/agent_commit.h"

#include <algorithm>
#include <cmath>

#include "OrvixInputHost/delivery/agent_accessibility.h"
#include "OrvixInputHost/delivery/agent_text.h"
#include "OrvixInputHost/delivery/command_results.h"
#include "OrvixInputHost/delivery/input_host_settings.h"

namespace orvix::input_host {

namespace {

std::optional<std::string> plainString(const std::optional<platform::AXValue>& value) {
  if (!value) return std::nullopt;
  if (const auto* text = std::get_if<std::string>(&*value)) return *text;
  if (const auto* attributed = std::get_if<platform::AXAttributedString>(&*value)) {
    return attributed->string;
  }
  return std::nullopt;
}

}  // namespace

Json AgentCommit::commitAgent(const std::string& commandId, AgentTarget target,
                              const std::string& text) {
  env_.trace.begin(commandId, agentTargetInfo(target).rawValue);
  // Ends the command's trace on every way out, a throw included: a trace left open would label
  // later records with this command and keep its focus failures.
  struct TraceEnd {
    AgentTrace& trace;
    ~TraceEnd() { trace.end(); }
  } traceEnd{env_.trace};
  return runCommit(commandId, target, text);
}

Json AgentCommit::runCommit(const std::string& commandId, AgentTarget target,
                            const std::string& text) {
  if (!quickAdd_.responsibleAccessibilityTrusted()) {
    return commandResult(commandId, "failed", "PERMISSION_DENIED");
  }
  // White space only is nothing the composer could show: it would be pasted, never confirmed
  // and left behind in the agent.
  if (normalizedAgentDraft(text).empty()) return commandResult(commandId, "failed", "UNAVAILABLE");
  const auto activation = activator_.activateAgent(target);
  if (!activation) return commandResult(commandId, "failed", "UNAVAILABLE");
  const ProcessId pid = activation->pid;
  const auto focus = composer_.focusAgentComposerWhenReady(pid, target, activation->mode);
  if (!focus) return commandResult(commandId, "failed", "NO_EDITABLE_TARGET");
  const DraftBaseline baseline = draftBaseline(focus->composer, text);
  // From here on the text stays on the pasteboard whatever happens, for the user to paste.
  if (!paste_.replaceClipboard(text)) return commandResult(commandId, "failed", "UNAVAILABLE");
  if (!agentStillInFront(pid, focus->window)) {
    return commandResult(commandId, "copy-only", "TARGET_CHANGED");
  }
  if (!env_.keys.postKey(keyCodeV, platform::kEventFlagCommand)) {
    return commandResult(commandId, "copy-only", "UNAVAILABLE");
  }
  if (!waitForAgentDraft(pid, target, text, true, *focus, baseline)) {
    return commandResult(commandId, "unknown", "TARGET_CHANGED");
  }
  {
    // The focus must still be in the composer the draft was seen in: Return elsewhere would
    // press a button or send another field.
    const AgentStepDeadline step(env_, env_.now() + agentFocusTimeout);
    const auto focused = composer_.focusedAgentElement(pid);
    if (!focused || !composer_.agentFocusBelongsToComposer(*focused, focus->composer) ||
        !agentStillInFront(pid, focus->window)) {
      return commandResult(commandId, "unknown", "TARGET_CHANGED");
    }
  }
  if (!env_.keys.postKey(keyCodeReturn)) return commandResult(commandId, "unknown", "UNAVAILABLE");
  if (waitForAgentDraft(pid, target, text, false, *focus, baseline)) {
    return commandResult(commandId, "committed");
  }
  return commandResult(commandId, "unknown", "UNAVAILABLE");
}

bool AgentCommit::agentStillInFront(ProcessId pid, const AXElement& window) {
  if (activator_.agentForegroundPid() != pid) return false;
  {
    const AgentStepDeadline step(env_, env_.now() + agentFocusTimeout);
    if (activator_.selectedAgentWindow(pid) != std::optional<AXElement>(window)) return false;
  }
  // The window read may have taken its time: the front process once more, at no cost.
  return activator_.agentForegroundPid() == pid;
}

AgentCommit::DraftBaseline AgentCommit::draftBaseline(const AXElement& composer,
                                                      const std::string& text) {
  const AgentStepDeadline step(env_, env_.now() + agentFocusTimeout);
  return DraftBaseline{agentEditorCharacterCount(composer), agentEditorContains(composer, text)};
}

std::optional<AXElement> AgentCommit::readableComposer(const AXElement& composer, bool& answered) {
  const auto role = agentRead(env_, composer, "AXRole");
  answered = role.error == platform::AXError::success ||
             role.error == platform::AXError::invalidUIElement;
  if (role.error != platform::AXError::success) return std::nullopt;
  return composer;
}

bool AgentCommit::waitForAgentDraft(ProcessId pid, AgentTarget target, const std::string& text,
                                    bool present, const AgentComposerFocus& focus,
                                    const DraftBaseline& baseline) {
  const double deadline = env_.now() + agentSubmissionTimeout;
  const AgentStepDeadline step(env_, deadline);
  const long long expected = agentCharacterCount(normalizedAgentDraft(text));
  // A count the old draft already reached proves nothing: the paste must add the text to it.
  const long long countNeeded = baseline.count.value_or(0) + expected;
  // Absent counts as a value of its own, so "never observed" needs a marker apart from it.
  std::optional<std::optional<long long>> lastObserved;
  bool refocused = false;
  for (;;) {
    if (activator_.agentForegroundPid() != pid) return false;
    if (activator_.selectedAgentWindow(pid) != std::optional<AXElement>(focus.window)) return false;
    bool answered = true;
    auto editor = readableComposer(focus.composer, answered);
    if (!editor && !answered) {
      // The composer did not answer in time: what the window's focused editor shows instead.
      editor = composer_.focusedAgentEditor(pid);
      if (editor && !composer_.agentElementBelongsToWindow(*editor, focus.window)) editor.reset();
    }
    if (editor) {
      const bool contains = agentEditorContains(*editor, text);
      const auto observed = agentEditorCharacterCount(*editor);
      if (!lastObserved || *lastObserved != observed) {
        lastObserved = observed;
        env_.trace.trace({{"stage", "draft-observed"},
                          {"pid", pid},
                          {"target", agentTargetInfo(target).rawValue},
                          {"present", present},
                          {"containsExpectedText", contains},
                          {"expectedCharacterCount", expected},
                          {"observedCharacterCount", observed.value_or(-1)}});
      }
      const bool grown = expected > 0 && observed && *observed >= countNeeded;
      if (present) {
        // The text, where the old draft did not already hold it (else the paste must also have
        // grown the draft); Codex may show the draft only as a length.
        if (contains && (!baseline.containsText || grown)) return true;
        if (target == AgentTarget::codex && grown) return true;
      } else if (!contains) {
        return true;
      }
    } else if (!present) {
      if (answered) return true;  // the composer went away with the submission
    } else if (!refocused) {
      refocused = true;
      composer_.focusAgentComposerOnce(pid, target, focus.window);
    }
    const double left = deadline - env_.now();
    if (left <= 0) return false;
    env_.runCurrentRunLoop(std::min(agentSubmissionPollInterval, left));
    if (env_.now() >= deadline) return false;
  }
}

std::string AgentCommit::agentEditorText(const AXElement& element) {
  platform::Accessibility& ax = env_.ax();
  if (auto value = plainString(agentAttribute(env_, element, "AXValue"))) return *value;
  const auto count = agentEditorCharacterCount(element);
  if (!count || *count <= 0) return {};
  for (const auto attribute : {"AXStringForRange", "AXAttributedStringForRange"}) {
    const BoundedAgentCall bounded(env_, element);
    auto result = ax.copyParameterizedAttributeValue(element, attribute,
                                                     platform::TextRange{0, *count});
    if (result.error != platform::AXError::success) continue;
    if (auto text = plainString(std::move(result.value))) return *text;
  }
  return {};
}

std::optional<long long> AgentCommit::agentEditorCharacterCount(const AXElement& element) {
  const auto value = agentAttribute(env_, element, "AXNumberOfCharacters");
  const auto* number = value ? std::get_if<double>(&*value) : nullptr;
  if (number == nullptr || !std::isfinite(*number) || std::fabs(*number) > 1e15) return std::nullopt;
  return static_cast<long long>(*number);
}

bool AgentCommit::agentEditorContains(const AXElement& element, const std::string& text) {
  const std::string expected = normalizedAgentDraft(text);
  if (expected.empty()) return false;
  const std::string current = normalizedAgentDraft(agentEditorText(element));
  return current.find(expected) != std::string::npos;
}

}  // namespace orvix::input_host
