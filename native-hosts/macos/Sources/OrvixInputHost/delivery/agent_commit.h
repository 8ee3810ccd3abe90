#pragma once

#include <optional>
#include <string>

#include "common/json_wire.h"
#include "OrvixInputHost/delivery/agent_activation.h"
#include "OrvixInputHost/delivery/agent_composer.h"
#include "OrvixInputHost/delivery/agent_environment.h"
#include "OrvixInputHost/delivery/clipboard_paste.h"
#include "OrvixInputHost/quick-add/quick_add_state.h"

namespace orvix::input_host {

// "commit-agent": activate the agent, focus its composer, paste the text, confirm the draft
// appeared, press Return and confirm the draft left. Every step checks again that the agent is
// still in front with the same window; when the user moved on, the answer says how far it got.
// Main thread only; the whole procedure blocks the command loop for up to some seconds.
class AgentCommit {
 public:
  AgentCommit(AgentEnvironment& environment, AgentActivator& activator,
              AgentComposerFinder& composer, ClipboardPaste& paste, QuickAdd& quickAdd)
      : env_(environment),
        activator_(activator),
        composer_(composer),
        paste_(paste),
        quickAdd_(quickAdd) {}

  Json commitAgent(const std::string& commandId, AgentTarget target, const std::string& text);

  // Whether the composer shows the draft (present) or no longer does (absent) within the
  // submission timeout, with the agent still in front in the same window.
  bool waitForAgentDraft(ProcessId pid, AgentTarget target, const std::string& text, bool present,
                         const AXElement& window);

  std::string agentEditorText(const AXElement& element);
  std::optional<long long> agentEditorCharacterCount(const AXElement& element);
  bool agentEditorContains(const AXElement& element, const std::string& text);

 private:
  Json runCommit(const std::string& commandId, AgentTarget target, const std::string& text);

  AgentEnvironment& env_;
  AgentActivator& activator_;
  AgentComposerFinder& composer_;
  ClipboardPaste& paste_;
  QuickAdd& quickAdd_;
};

}  // namespace orvix::input_host
