#pragma once

#include <optional>
#include <string_view>
#include <vector>

namespace orvix::input_host {

// The AI-agent applications "commit-agent" delivers into, by their wire names.
enum class AgentTarget { codex, claudeCode, claudeDesktop, workbuddy };

// How the agent was found: already in front and usable, running elsewhere, or launched.
enum class AgentActivationMode { foreground, background, coldStart };

// How long an agent in each mode gets to come to the front and stay there.
struct AgentReadinessTimeouts {
  double foreground = 1.0;
  double background = 2.5;
  double coldStart = 5.0;
  double timeout(AgentActivationMode mode) const;
};

// Everything the host knows about one agent application, as its maker publishes it. Composer
// signatures are the placeholder and label texts its prompt box shows; both Claude targets live
// in the same application and differ only there.
struct AgentTargetInfo {
  std::string_view rawValue;
  std::vector<std::string_view> bundleIdentifiers;  // in search order
  std::vector<std::string_view> applicationNames;
  std::vector<std::string_view> composerSignatures;
  bool requiresExactComposerSignature = false;
  AgentReadinessTimeouts readinessTimeouts;
};

const AgentTargetInfo& agentTargetInfo(AgentTarget target);
std::optional<AgentTarget> agentTargetNamed(std::string_view rawValue);
std::string_view traceName(AgentActivationMode mode);

}  // namespace orvix::input_host
