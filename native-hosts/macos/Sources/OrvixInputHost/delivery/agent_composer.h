#pragma once

#include <optional>
#include <vector>

#include "platform/accessibility.h"
#include "OrvixInputHost/delivery/agent_activation.h"
#include "OrvixInputHost/delivery/agent_environment.h"
#include "OrvixInputHost/delivery/agent_target.h"

namespace orvix::input_host {

// Composer scores: not a candidate; an editable field without a signature; an editable text
// area without one; an editable element that shows one of the target's signatures.
inline constexpr int kComposerScoreNone = 0;
inline constexpr int kComposerScoreField = 1;
inline constexpr int kComposerScoreTextArea = 10;
inline constexpr int kComposerScoreSignature = 100;

// The window the composer was found in and the composer itself, with the keyboard focus in it.
struct AgentComposerFocus {
  AXElement window;
  AXElement composer;
};

// The single unambiguous winner of a complete scan, or none: a signature wins over everything
// unless tied; without a signature the best must be the only candidate at all. A scan that
// left children unread (past an element's first 512) is not complete.
std::optional<std::size_t> selectAgentComposer(const std::vector<int>& scores, bool scanComplete);

// Finds the agent's prompt box (the composer) in its window, puts the keyboard focus into it and
// confirms the focus arrived; the readiness loop retries until a deadline, waking early when the
// agent's interface changes. Main thread only.
class AgentComposerFinder {
 public:
  AgentComposerFinder(AgentEnvironment& environment, AgentActivator& activator)
      : env_(environment), activator_(activator) {}

  bool isEditableAgentElement(const AXElement& element);
  std::optional<AXElement> focusedAgentElement(ProcessId pid);
  std::optional<AXElement> focusedAgentEditor(ProcessId pid);
  bool agentHasEditableFocus(ProcessId pid) { return focusedAgentEditor(pid).has_value(); }
  bool agentElementBelongsToWindow(const AXElement& element, const AXElement& window);
  bool agentFocusBelongsToComposer(const AXElement& focused, const AXElement& composer);
  int agentComposerScore(const AXElement& element, AgentTarget target);
  std::optional<platform::AXPoint> agentFrameCentre(const AXElement& element);

  bool focusAgentComposerOnce(ProcessId pid, AgentTarget target, const AXElement& expectedWindow);
  bool waitForAgentComposerFocus(ProcessId pid, const AXElement& composer);
  // The agent window and the composer in it that now has the focus.
  std::optional<AgentComposerFocus> focusAgentComposerWhenReady(ProcessId pid, AgentTarget target,
                                                                AgentActivationMode mode);
  // Whether a click on the agent's window reaches it: no other process's window lies in front
  // of the agent's own (the window list has no frames, so any such window counts as covering).
  bool agentWindowIsInFront(ProcessId pid);

 private:
  AgentEnvironment& env_;
  AgentActivator& activator_;
};

}  // namespace orvix::input_host
