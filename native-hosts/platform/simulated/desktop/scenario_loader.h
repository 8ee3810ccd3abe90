#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "common/time/time_source.h"
#include "platform/simulated/desktop/scenario.h"
#include "platform/simulated/desktop/scenario_parser.h"
#include "platform/simulated/desktop/simulated_desktop.h"

namespace orvix::platform::simulated {

// A desktop built from a scenario, with the scenario's element ids so a test can find them.
struct LoadedScenario {
  std::unique_ptr<SimulatedDesktop> desktop;
  std::map<std::string, ElementId> elements;

  // The element with scenario id `id`; kNoElement when there is none.
  ElementId element(const std::string& id) const;
};

using ScenarioResult = std::variant<LoadedScenario, ScenarioError>;

// The text of the built-in "default" scenario.
std::string_view defaultScenarioJson();

// `nameOrPath` is "default" or the path of a scenario file. The desktop runs on `time` and
// must be destroyed before it.
ScenarioResult loadScenario(std::string_view nameOrPath, TimeSource& time);
ScenarioResult loadScenarioText(std::string_view json, TimeSource& time);
ScenarioResult buildScenario(const Scenario& scenario, TimeSource& time);

}  // namespace orvix::platform::simulated
