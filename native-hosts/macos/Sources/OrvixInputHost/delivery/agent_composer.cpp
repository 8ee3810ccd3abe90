#include "OrvixInputHost/delivery/agent_composer.h"

#include <algorithm>
#include <cmath>

#include "OrvixInputHost/delivery/agent_accessibility.h"
#include "OrvixInputHost/delivery/agent_text.h"
#include "OrvixInputHost/delivery/input_host_settings.h"
#include "OrvixInputHost/delivery/visited_elements.h"

namespace orvix::input_host {

namespace {

using platform::AXError;

constexpr int kMaximumFocusAncestry = 12;
constexpr std::size_t kMaximumChildrenPerAttribute = 512;
constexpr double kFocusedElementMessagingTimeout = 0.15;
constexpr double kAccessibilityRequestedWaitFloor = 4.0;
constexpr double kMinimumClickableSide = 4;
constexpr double kRunLoopStep = 0.02;
// The Dock's window layer (kCGDockWindowLevel); the menu bar and system overlays lie above it.
constexpr std::int64_t kSystemInterfaceLayer = 20;

// Applications report an element's children under any of these names.
constexpr std::string_view kChildListAttributes[] = {
    "AXChildren", "AXContents", "AXVisibleChildren", "AXChildrenInNavigationOrder"};
// The texts a composer shows its signature in, in the order they are joined.
constexpr std::string_view kComposerTextAttributes[] = {
    "AXTitle", "AXDescription", "AXRoleDescription", "AXHelp", "AXPlaceholderValue", "AXValue"};

}  // namespace

std::optional<std::size_t> selectAgentComposer(const std::vector<int>& scores, bool scanComplete) {
  if (!scanComplete || scores.empty()) return std::nullopt;
  const int best = *std::max_element(scores.begin(), scores.end());
  if (best <= kComposerScoreNone) return std::nullopt;
  const auto withBest = std::count(scores.begin(), scores.end(), best);
  const auto positive = std::count_if(scores.begin(), scores.end(), [](int s) { return s > 0; });
  if (withBest != 1 || (best < kComposerScoreSignature && positive != 1)) return std::nullopt;
  return static_cast<std::size_t>(std::find(scores.begin(), scores.end(), best) - scores.begin());
}

bool AgentComposerFinder::isEditableAgentElement(const AXElement& element) {
  if (agentString(env_, element, "AXSubrole") == "AXSecureTextField") return false;
  if (agentBoolean(env_, element, "AXEnabled") == false) return false;
  const std::string role = agentString(env_, element, "AXRole");
  return role == "AXTextArea" || role == "AXTextField" || role == "AXComboBox";
}

std::optional<AXElement> AgentComposerFinder::focusedAgentElement(ProcessId pid) {
  if (activator_.agentForegroundPid() != pid) return std::nullopt;
  platform::Accessibility& ax = env_.ax();
  const AXElement application = ax.applicationElement(pid);
  ax.setMessagingTimeout(application, static_cast<float>(kFocusedElementMessagingTimeout));
  const auto read = ax.copyAttributeValue(application, "AXFocusedUIElement");
  const auto* element = std::get_if<AXElement>(&read.value);
  if (read.error != AXError::success || element == nullptr) {
    env_.trace.focusFailure("focus-unavailable", static_cast<std::int32_t>(read.error));
    return std::nullopt;
  }
  const auto owner = ax.processId(*element);
  if (owner.error == AXError::success && env_.probe.processBelongsToTree(owner.pid, pid) &&
      activator_.agentForegroundPid() == pid) {
    return *element;
  }
  env_.trace.focusFailure("focus-target-changed", std::nullopt);
  return std::nullopt;
}

std::optional<AXElement> AgentComposerFinder::focusedAgentEditor(ProcessId pid) {
  auto current = focusedAgentElement(pid);
  for (int step = 0; current && step < kMaximumFocusAncestry; ++step) {
    if (isEditableAgentElement(*current)) return current;
    current = agentElement(env_, *current, "AXParent");
  }
  return std::nullopt;
}

bool AgentComposerFinder::agentElementBelongsToWindow(const AXElement& element,
                                                      const AXElement& window) {
  if (element == window || agentElement(env_, element, "AXWindow") == window) return true;
  std::optional<AXElement> current = element;
  for (int step = 0; current && step < agentComposerSearchMaximumDepth; ++step) {
    if (*current == window) return true;
    current = agentElement(env_, *current, "AXParent");
  }
  return false;
}

bool AgentComposerFinder::agentFocusBelongsToComposer(const AXElement& focused,
                                                      const AXElement& composer) {
  std::optional<AXElement> current = focused;
  for (int step = 0; current && step < kMaximumFocusAncestry; ++step) {
    if (*current == composer) return true;
    current = agentElement(env_, *current, "AXParent");
  }
  return false;
}

int AgentComposerFinder::agentComposerScore(const AXElement& element, AgentTarget target) {
  if (!isEditableAgentElement(element)) return kComposerScoreNone;
  std::string joined;
  for (std::size_t i = 0; i < std::size(kComposerTextAttributes); ++i) {
    if (i > 0) joined += '\n';
    joined += agentString(env_, element, kComposerTextAttributes[i]);
  }
  const AgentTargetInfo& info = agentTargetInfo(target);
  if (containsAnyIgnoringCase(joined, info.composerSignatures)) return kComposerScoreSignature;
  if (info.requiresExactComposerSignature) return kComposerScoreNone;
  return agentString(env_, element, "AXRole") == "AXTextArea" ? kComposerScoreTextArea
                                                             : kComposerScoreField;
}

std::optional<platform::AXPoint> AgentComposerFinder::agentFrameCentre(const AXElement& element) {
  const auto position = agentAttribute(env_, element, "AXPosition");
  const auto size = agentAttribute(env_, element, "AXSize");
  const auto* origin = position ? std::get_if<platform::AXPoint>(&*position) : nullptr;
  const auto* extent = size ? std::get_if<platform::AXSize>(&*size) : nullptr;
  // Too small to aim at: a click there could land on a neighbour.
  if (origin == nullptr || extent == nullptr || !(extent->width >= kMinimumClickableSide) ||
      !(extent->height >= kMinimumClickableSide)) {
    return std::nullopt;
  }
  // An application can report anything; a click is posted only at a real point.
  const platform::AXPoint centre{origin->x + extent->width / 2, origin->y + extent->height / 2};
  if (!std::isfinite(centre.x) || !std::isfinite(centre.y)) return std::nullopt;
  return centre;
}

bool AgentComposerFinder::focusAgentComposerOnce(ProcessId pid, AgentTarget target,
                                                 const AXElement& expectedWindow) {
  const auto stillThere = [&] {
    return activator_.agentForegroundPid() == pid &&
           activator_.selectedAgentWindow(pid) == std::optional<AXElement>(expectedWindow);
  };
  if (!stillThere()) return false;
  const AXElement& window = expectedWindow;

  if (const auto editor = focusedAgentEditor(pid);
      editor && agentComposerScore(*editor, target) >= kComposerScoreSignature &&
      agentElementBelongsToWindow(*editor, window)) {
    env_.trace.trace({{"stage", "composer-focused"}, {"candidates", 1}});
    return true;
  }

  // The focused element and its ancestry first: a composer that already holds the focus is
  // scored within the first few entries.
  std::vector<std::pair<AXElement, int>> queue{{window, 0}};
  if (const auto focused = focusedAgentElement(pid);
      focused && agentElementBelongsToWindow(*focused, window)) {
    std::optional<AXElement> current = focused;
    for (int step = 0; current && step < agentComposerSearchMaximumDepth && *current != window;
         ++step) {
      queue.emplace_back(*current, 0);
      current = agentElement(env_, *current, "AXParent");
    }
  }

  // Entries beyond the element limit are never visited, only counted: a tree that lists the same
  // children under every alias would otherwise fill memory with entries nobody reads.
  const auto maximumElements = static_cast<std::size_t>(agentComposerSearchMaximumElements);
  std::size_t queued = queue.size();
  const auto enqueue = [&](const AXElement& child, int depth) {
    ++queued;
    if (queue.size() < maximumElements) queue.emplace_back(child, depth);
  };
  const double deadline = env_.now() + agentComposerScanBudget;
  const AgentStepDeadline step(env_, deadline);
  std::size_t cut = 0;
  VisitedElements visited(static_cast<std::size_t>(agentComposerSearchMaximumElements));
  std::vector<std::pair<AXElement, int>> candidates;
  std::size_t position = 0;
  while (position < queue.size() && position < maximumElements && env_.now() < deadline) {
    const auto [element, depth] = queue[position++];
    if (!visited.insert(element)) continue;
    if (const int score = agentComposerScore(element, target); score > 0) {
      candidates.emplace_back(element, score);
    }
    if (depth >= agentComposerSearchMaximumDepth) continue;
    for (const auto attribute : kChildListAttributes) {
      const auto children = agentElements(env_, element, attribute);
      if (!children) continue;
      const std::size_t taken = std::min(children->size(), kMaximumChildrenPerAttribute);
      for (std::size_t i = 0; i < taken; ++i) enqueue((*children)[i], depth + 1);
      // Children past the cut are never scored: the real composer may be among them.
      cut += children->size() - taken;
    }
  }
  const bool complete = position == queued && cut == 0;
  env_.trace.trace({{"stage", "composer-scan"},
                    {"target", agentTargetInfo(target).rawValue},
                    {"pid", pid},
                    {"visited", static_cast<std::int64_t>(position)},
                    {"queued", static_cast<std::int64_t>(queued)},
                    {"cut", static_cast<std::int64_t>(cut)},
                    {"candidates", static_cast<std::int64_t>(candidates.size())},
                    {"complete", complete}});

  std::vector<int> scores;
  for (const auto& candidate : candidates) scores.push_back(candidate.second);
  const auto chosen = selectAgentComposer(scores, complete);
  if (!chosen || !stillThere()) return false;
  const AXElement& composer = candidates[*chosen].first;

  const auto focusWritten = [&] {
    const BoundedAgentCall bounded(env_, composer);
    return env_.ax().setAttributeValue(composer, "AXFocused", true) == AXError::success;
  };
  if (focusWritten() && waitForAgentComposerFocus(pid, composer)) return true;
  // Some composers take the focus only from a click, which must reach the agent and nothing
  // in front of it.
  const auto centre = agentFrameCentre(composer);
  if (!centre || !stillThere() || !agentWindowIsInFront(pid) ||
      !env_.keys.postLeftClick(platform::ScreenPoint{centre->x, centre->y})) {
    return false;
  }
  return waitForAgentComposerFocus(pid, composer);
}

bool AgentComposerFinder::agentWindowIsInFront(ProcessId pid) {
  const auto windows = env_.desktop.windowList.onScreenWindows();
  if (!windows) return false;
  for (const auto& window : *windows) {
    if (window.ownerPid == pid) return true;
    // The menu bar, the Dock and what the system shows above them stay clear of windows.
    if (window.layer >= 0 && window.layer < kSystemInterfaceLayer && window.number != 0) return false;
  }
  return false;
}

bool AgentComposerFinder::waitForAgentComposerFocus(ProcessId pid, const AXElement& composer) {
  const double deadline = env_.now() + agentFocusTimeout;
  const AgentStepDeadline step(env_, deadline);
  for (;;) {
    if (activator_.agentForegroundPid() != pid) return false;
    if (const auto focused = focusedAgentElement(pid);
        focused && agentFocusBelongsToComposer(*focused, composer)) {
      return true;
    }
    env_.runCurrentRunLoop(kRunLoopStep);
    if (env_.now() >= deadline) return false;
  }
}

std::optional<AgentComposerFocus> AgentComposerFinder::focusAgentComposerWhenReady(
    ProcessId pid, AgentTarget target, AgentActivationMode mode) {
  platform::Accessibility& ax = env_.ax();
  const auto observation = AgentAccessibilityObservation::start(ax, env_.time.mainLoop(), pid);
  const AXElement application = ax.applicationElement(pid);
  const auto accessibility = requestAgentAccessibility(
      [&](std::string_view attribute) { return agentBoolean(env_, application, attribute); },
      [&](std::string_view attribute) {
        const BoundedAgentCall bounded(env_, application);
        return static_cast<std::int32_t>(ax.setAttributeValue(application, attribute, true));
      });
  const std::string rawTarget(agentTargetInfo(target).rawValue);
  const std::string modeName(traceName(mode));
  env_.trace.trace({{"stage", "accessibility-requested"},
                    {"target", rawTarget},
                    {"pid", pid},
                    {"accessibilityMethod", accessibility.method},
                    {"accessibilityResult", accessibility.result}});

  // An application that builds its tree only now needs longer than an ordinary activation.
  const double timeout =
      std::max(agentTargetInfo(target).readinessTimeouts.timeout(mode),
               accessibility.requested ? kAccessibilityRequestedWaitFloor : 0.0);
  const double deadline = env_.now() + timeout;
  const AgentStepDeadline step(env_, deadline);
  env_.trace.trace({{"stage", "composer-wait-begin"},
                    {"mode", modeName},
                    {"pid", pid},
                    {"timeoutMs", static_cast<std::int64_t>(timeout * 1000)}});

  const auto targetChanged = [&] {
    const auto front = activator_.agentForegroundPid();
    env_.trace.trace({{"stage", "composer-target-changed"},
                      {"mode", modeName},
                      {"pid", pid},
                      {"frontmostPid", front.value_or(-1)}});
  };
  std::optional<std::uint64_t> lastGeneration;
  if (observation) lastGeneration = observation->generation();
  std::optional<AXElement> remembered;
  bool raised = false;
  for (;;) {
    if (activator_.agentForegroundPid() != pid) {
      targetChanged();
      return std::nullopt;
    }
    if (const auto window = activator_.selectedAgentWindow(pid)) {
      if (remembered && *remembered != *window) {
        env_.trace.trace({{"stage", "composer-target-changed"}, {"mode", modeName}});
        return std::nullopt;
      }
      remembered = window;
    }
    if (remembered && focusAgentComposerOnce(pid, target, *remembered)) {
      if (auto composer = focusedAgentEditor(pid)) {
        env_.trace.trace({{"stage", "composer-ready"}, {"mode", modeName}, {"pid", pid}});
        return AgentComposerFocus{*remembered, std::move(*composer)};
      }
    }
    if (env_.now() >= deadline) {
      env_.trace.trace({{"stage", "composer-deadline"}, {"mode", modeName}, {"pid", pid}});
      return std::nullopt;
    }
    if (!raised) {
      raised = true;
      activator_.prepareAndRaiseAgentWindow(pid);
    }
    // Sleep until the interface changes, or the fallback interval passes.
    const double wakeAt = std::min(env_.now() + agentAccessibilityFallbackInterval, deadline);
    while (env_.now() < wakeAt) {
      env_.runCurrentRunLoop(std::min(kRunLoopStep, wakeAt - env_.now()));
      if (activator_.agentForegroundPid() != pid) {
        targetChanged();
        return std::nullopt;
      }
      if (observation && observation->generation() != lastGeneration) {
        lastGeneration = observation->generation();
        break;
      }
    }
    if (env_.now() >= deadline) {
      // Which step gave up is what the desktop application needs to know.
      env_.trace.trace({{"stage", "composer-deadline"}, {"mode", modeName}, {"pid", pid}});
      return std::nullopt;
    }
  }
}

}  // namespace orvix::input_host
