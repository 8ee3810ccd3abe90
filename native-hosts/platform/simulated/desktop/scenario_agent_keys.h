#pragma once

#include <string>
#include <string_view>

#include "common/json_wire.h"
#include "platform/simulated/desktop/scenario.h"

namespace orvix::platform::simulated {

// The scenario keys that describe agent applications: how they are installed and started,
// what their elements report and how their composers behave. Kept apart from the general
// reader so the keys of each concern read together. Both throw scenario_reading::Fault.

void readAgentApplicationKeys(const Json& value, const std::string& where,
                              ScenarioApplication& application);
void readAgentElementKeys(const Json& value, const std::string& where, ScenarioElement& element);

}  // namespace orvix::platform::simulated
