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

  // What the composer held before the paste: a draft the user left there is no proof that the
  // paste arrived.
  struct DraftBaseline {
    std::optional<long long> count;
    bool containsText = false;
  };

  // Whether the composer shows the draft (present) or no longer does (absent) within the
  // submission timeout, with the agent still in front in the same window. The composer is read
  // itself; the focused editor of the window only when the composer does not answer.
  bool waitForAgentDraft(ProcessId pid, AgentTarget target, const std::string& text, bool present,
                         const AgentComposerFocus& composer, const DraftBaseline& baseline);
  DraftBaseline draftBaseline(const AXElement& composer, const std::string& text);

  std::string agentEditorText(const AXElement& element);
  std::optional<long long> agentEditorCharacterCount(const AXElement& element);
  bool agentEditorContains(const AXElement& element, const std::string& text);

 private:
  Json runCommit(const std::string& commandId, AgentTarget target, const std::string& text);
  // The agent still in front with the same window, checked right before a key is posted.
  bool agentStillInFront(ProcessId pid, const AXElement& window);
  // The composer as it is now: none when it is gone; `answered` false when it did not answer.
  std::optional<AXElement> readableComposer(const AXElement& composer, bool& answered);

  AgentEnvironment& env_;
  AgentActivator& activator_;
  AgentComposerFinder& composer_;
  ClipboardPaste& paste_;
  QuickAdd& quickAdd_;
};

}  // namespace orvix::input_host
