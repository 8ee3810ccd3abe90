#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "platform/simulated/desktop/scenario.h"

namespace orvix::platform::simulated {

// Scenario files come from outside (a developer, a demo script, a fuzzer): they are read
// strictly and bounded, and every fault gives one message naming where it is, never a crash.
inline constexpr std::size_t kMaximumScenarioBytes = 1 << 20;
inline constexpr std::size_t kMaximumScenarioElements = 10000;
inline constexpr std::size_t kMaximumScenarioProcesses = 10000;
inline constexpr int kMaximumScenarioTreeDepth = 32;

struct ScenarioError {
  std::string message;
};

// Parses and checks a scenario: types, ranges, references between ids and pids, and a process
// tree without loops. What it answers can be built without further checks.
std::variant<Scenario, ScenarioError> parseScenario(std::string_view json);

}  // namespace orvix::platform::simulated
