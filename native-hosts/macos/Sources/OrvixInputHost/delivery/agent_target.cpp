#include "OrvixInputHost/delivery/agent_target.h"

#include <array>

namespace orvix::input_host {

namespace {

const std::array<AgentTargetInfo, 4>& targets() {
  static const std::array<AgentTargetInfo, 4> table{{
      {"codex",
       {"com.openai.codex"},
       {"Codex", "ChatGPT"},
       {"Ask Codex", "Message Codex", "Ask for follow-up changes", "Ask for follow up changes",
        "Ask Codex to do anything", "Ask Codex anything", "随心输入", "提出后续变更要求",
        "要求提供后续变更", "向 Codex 下达任意指令", "可向 Codex 询问任何问题"},
       false,
       {}},
      {"claude-code",
       {"com.anthropic.claudefordesktop"},
       {"Claude"},
       {"Claude Code", "Start a new task", "Describe a task", "What do you want to build"},
       true,
       {}},
      {"claude-desktop",
       {"com.anthropic.claudefordesktop"},
       {"Claude"},
       {"Write your prompt to Claude", "Message Claude", "How can Claude help",
        "Chat with Claude", "给 Claude 发消息"},
       false,
       {}},
      {"workbuddy",
       {"com.tencent.workbuddy.mac", "com.workbuddy.workbuddy"},
       {"WorkBuddy"},
       {"文本输入区", "今天帮你做些什么", "调用技能与指令"},
       false,
       {}},
  }};
  return table;
}

}  // namespace

double AgentReadinessTimeouts::timeout(AgentActivationMode mode) const {
  switch (mode) {
    case AgentActivationMode::foreground:
      return foreground;
    case AgentActivationMode::background:
      return background;
    case AgentActivationMode::coldStart:
      return coldStart;
  }
  return coldStart;
}

const AgentTargetInfo& agentTargetInfo(AgentTarget target) {
  return targets()[static_cast<std::size_t>(target)];
}

std::optional<AgentTarget> agentTargetNamed(std::string_view rawValue) {
  for (std::size_t i = 0; i < targets().size(); ++i) {
    if (targets()[i].rawValue == rawValue) return static_cast<AgentTarget>(i);
  }
  return std::nullopt;
}

std::string_view traceName(AgentActivationMode mode) {
  switch (mode) {
    case AgentActivationMode::foreground:
      return "foreground";
    case AgentActivationMode::background:
      return "background";
    case AgentActivationMode::coldStart:
      return "cold-start";
  }
  return "cold-start";
}

}  // namespace orvix::input_host
