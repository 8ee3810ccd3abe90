#pragma once

#include <string>

#include "common/json_wire.h"
#include "platform/simulated/desktop/scenario.h"

namespace orvix::platform::simulated {

// The scenario keys of the user at the keyboard and pointer and of what the window server and
// applications do around them: the scripted actions, overlay windows, refused taps and how
// each application answers Command-C. Kept apart from the general reader so the keys of this
// concern read together. All throw scenario_reading::Fault.

// "user", "overlays", "windowListFails", "eventTapRefused" of the root object.
void readUserKeys(const Json& root, Scenario& scenario);
// "copy" of an application.
void readCopyKey(const Json& application, const std::string& where, ScenarioApplication& app);

}  // namespace orvix::platform::simulated
