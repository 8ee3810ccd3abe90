#include "OrvixInputHost/delivery/agent_accessibility.h"

#include <algorithm>

namespace orvix::input_host {

using platform::AXError;

namespace {
constexpr double kMinimumAgentCallSeconds = 0.01;
constexpr double kAgentCallSecondsOutsideSteps = 1.0;
}  // namespace

BoundedAgentCall::BoundedAgentCall(AgentEnvironment& environment, const AXElement& element)
    : ax_(environment.ax()), element_(element) {
  const double left = environment.stepDeadline ? *environment.stepDeadline - environment.now()
                                               : kAgentCallSecondsOutsideSteps;
  ax_.setMessagingTimeout(element_, static_cast<float>(std::max(left, kMinimumAgentCallSeconds)));
}

BoundedAgentCall::~BoundedAgentCall() { ax_.setMessagingTimeout(element_, 0); }

platform::AXAttributeResult agentRead(AgentEnvironment& environment, const AXElement& element,
                                      std::string_view attribute) {
  const BoundedAgentCall bounded(environment, element);
  return environment.ax().copyAttributeValue(element, attribute);
}

std::optional<platform::AXValue> agentAttribute(AgentEnvironment& environment,
                                                const AXElement& element,
                                                std::string_view attribute) {
  auto result = agentRead(environment, element, attribute);
  if (result.error != AXError::success || std::holds_alternative<std::monostate>(result.value)) {
    return std::nullopt;
  }
  return std::move(result.value);
}

std::string agentString(AgentEnvironment& environment, const AXElement& element,
                        std::string_view attribute) {
  auto value = agentAttribute(environment, element, attribute);
  auto* text = value ? std::get_if<std::string>(&*value) : nullptr;
  return text != nullptr ? std::move(*text) : std::string();
}

std::optional<AXElement> agentElement(AgentEnvironment& environment, const AXElement& element,
                                      std::string_view attribute) {
  auto value = agentAttribute(environment, element, attribute);
  auto* found = value ? std::get_if<AXElement>(&*value) : nullptr;
  if (found == nullptr) return std::nullopt;
  return *found;
}

std::optional<std::vector<AXElement>> agentElements(AgentEnvironment& environment,
                                                    const AXElement& element,
                                                    std::string_view attribute) {
  auto value = agentAttribute(environment, element, attribute);
  auto* list = value ? std::get_if<std::vector<AXElement>>(&*value) : nullptr;
  if (list == nullptr) return std::nullopt;
  return std::move(*list);
}

std::optional<bool> agentBoolean(AgentEnvironment& environment, const AXElement& element,
                                 std::string_view attribute) {
  const auto value = agentAttribute(environment, element, attribute);
  const auto* flag = value ? std::get_if<bool>(&*value) : nullptr;
  if (flag == nullptr) return std::nullopt;
  return *flag;
}

void AgentAccessibilitySignal::mark() {
  std::lock_guard guard(lock_);
  ++generation_;
}

std::uint64_t AgentAccessibilitySignal::snapshot() const {
  std::lock_guard guard(lock_);
  return generation_;
}

void agentObserverCallback(const AXElement&, std::string_view, void* context) {
  if (context != nullptr) static_cast<AgentAccessibilitySignal*>(context)->mark();
}

namespace {
// What tells the host that the agent's interface moved on: a window, the focus, the layout or
// a new element.
constexpr std::string_view kObservedNotifications[] = {
    "AXWindowCreated", "AXFocusedWindowChanged", "AXFocusedUIElementChanged", "AXLayoutChanged",
    "AXCreated"};
}  // namespace

AgentAccessibilityObservation::AgentAccessibilityObservation(
    std::unique_ptr<platform::AXObserver> observer, AXElement application, RunLoop& loop)
    : observer_(std::move(observer)), application_(std::move(application)), loop_(loop) {}

std::unique_ptr<AgentAccessibilityObservation> AgentAccessibilityObservation::start(
    platform::Accessibility& ax, RunLoop& loop, ProcessId pid) {
  auto created = ax.createObserver(pid, agentObserverCallback);
  if (created.error != AXError::success || !created.observer) return nullptr;
  std::unique_ptr<AgentAccessibilityObservation> observation(
      new AgentAccessibilityObservation(std::move(created.observer), ax.applicationElement(pid),
                                        loop));
  for (const auto name : kObservedNotifications) {
    const AXError error = observation->observer_->addNotification(
        observation->application_, name, observation->signal_.get());
    if (error == AXError::success || error == AXError::notificationAlreadyRegistered) {
      observation->notifications_.emplace_back(name);
    }
  }
  if (observation->notifications_.empty()) {
    observation->stopped_ = true;
    return nullptr;
  }
  observation->observer_->addRunLoopSource(loop);
  return observation;
}

AgentAccessibilityObservation::~AgentAccessibilityObservation() { stop(); }

void AgentAccessibilityObservation::stop() {
  if (stopped_) return;
  stopped_ = true;
  for (const auto& name : notifications_) observer_->removeNotification(application_, name);
  observer_->removeRunLoopSource(loop_);
}

AgentAccessibilityActivation requestAgentAccessibility(
    const std::function<std::optional<bool>(std::string_view)>& read,
    const std::function<std::int32_t(std::string_view)>& enable) {
  if (read("AXManualAccessibility") == true) return {"manual", 0, false};
  const std::int32_t manual = enable("AXManualAccessibility");
  if (manual == 0) return {"manual", 0, true};
  if (manual == static_cast<std::int32_t>(AXError::attributeUnsupported) ||
      manual == static_cast<std::int32_t>(AXError::notImplemented)) {
    if (read("AXEnhancedUserInterface") == true) return {"enhanced", 0, false};
    const std::int32_t enhanced = enable("AXEnhancedUserInterface");
    return {"enhanced", enhanced, enhanced == 0};
  }
  return {"manual", manual, false};
}

}  // namespace orvix::input_host
