#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/time/run_loop.h"
#include "platform/accessibility.h"
#include "OrvixInputHost/delivery/agent_environment.h"

namespace orvix::input_host {

using platform::AXElement;
using platform::ProcessId;

// An accessibility call on an agent's element, for as long as it lasts, waits no longer than the
// time left of the step under way (at least kMinimumAgentCallSeconds), and outside any step no
// longer than kAgentCallSecondsOutsideSteps. The element's own timeout is put back afterwards.
class BoundedAgentCall {
 public:
  BoundedAgentCall(AgentEnvironment& environment, const AXElement& element);
  ~BoundedAgentCall();
  BoundedAgentCall(const BoundedAgentCall&) = delete;
  BoundedAgentCall& operator=(const BoundedAgentCall&) = delete;

 private:
  platform::Accessibility& ax_;
  const AXElement& element_;
};

// Typed reads of an agent's elements, each a BoundedAgentCall. Any error, an absent value or
// one of another type gives none (or the empty string / an empty list).
std::optional<platform::AXValue> agentAttribute(AgentEnvironment& environment,
                                                const AXElement& element,
                                                std::string_view attribute);
// The read's own error, for telling an element that is gone from one that did not answer.
platform::AXAttributeResult agentRead(AgentEnvironment& environment, const AXElement& element,
                                      std::string_view attribute);
std::string agentString(AgentEnvironment& environment, const AXElement& element,
                        std::string_view attribute);
std::optional<AXElement> agentElement(AgentEnvironment& environment, const AXElement& element,
                                      std::string_view attribute);
std::optional<std::vector<AXElement>> agentElements(AgentEnvironment& environment,
                                                    const AXElement& element,
                                                    std::string_view attribute);
std::optional<bool> agentBoolean(AgentEnvironment& environment, const AXElement& element,
                                 std::string_view attribute);

// Counts the agent's interface changes. The observer callback marks it on the main loop; the
// waits compare snapshots to learn that something happened and end early.
class AgentAccessibilitySignal {
 public:
  void mark();
  std::uint64_t snapshot() const;

 private:
  mutable std::mutex lock_;
  std::uint64_t generation_ = 0;
};

// The process-wide observer callback: marks the signal given as the context.
void agentObserverCallback(const AXElement& element, std::string_view notification, void* context);

// Watches one agent application for new windows, focus and layout changes while the composer
// search waits. Stops itself when destroyed.
class AgentAccessibilityObservation {
 public:
  // None when no observer can be made or no notification could be added.
  static std::unique_ptr<AgentAccessibilityObservation> start(platform::Accessibility& ax,
                                                              RunLoop& loop, ProcessId pid);
  ~AgentAccessibilityObservation();
  AgentAccessibilityObservation(const AgentAccessibilityObservation&) = delete;
  AgentAccessibilityObservation& operator=(const AgentAccessibilityObservation&) = delete;

  std::uint64_t generation() const { return signal_->snapshot(); }
  const std::vector<std::string>& notifications() const { return notifications_; }
  void stop();

 private:
  AgentAccessibilityObservation(std::unique_ptr<platform::AXObserver> observer,
                                AXElement application, RunLoop& loop);

  std::unique_ptr<platform::AXObserver> observer_;
  AXElement application_;
  std::vector<std::string> notifications_;
  std::unique_ptr<AgentAccessibilitySignal> signal_ = std::make_unique<AgentAccessibilitySignal>();
  RunLoop& loop_;
  bool stopped_ = false;
};

// How the agent's accessibility tree was switched on: "manual" or "enhanced", the
// accessibility error code (0 for success), and whether the host set the switch itself.
struct AgentAccessibilityActivation {
  std::string method;
  std::int32_t result = 0;
  bool requested = false;
};

// Chromium and Electron applications build their tree only when asked: the host sets
// "AXManualAccessibility", or "AXEnhancedUserInterface" where only that is understood.
AgentAccessibilityActivation requestAgentAccessibility(
    const std::function<std::optional<bool>(std::string_view attribute)>& read,
    const std::function<std::int32_t(std::string_view attribute)>& enable);

}  // namespace orvix::input_host
