#include "platform/simulated/desktop/scenario_user_keys.h"

#include <cmath>

#include "platform/simulated/scenario_reading.h"

namespace orvix::platform::simulated {

namespace {

using namespace scenario_reading;

constexpr std::int64_t kMaximumActionMilliseconds = 86'400'000;
constexpr std::int64_t kMaximumCopyDelayMilliseconds = 60'000;
constexpr std::size_t kMaximumUserActions = 10'000;
constexpr std::size_t kMaximumOverlays = 64;
constexpr std::int64_t kMaximumLayer = 1'000;
constexpr double kMaximumCoordinate = 1e6;

std::vector<ScreenPoint> points(const Json& value, const std::string& where, std::size_t count) {
  const Json& numbers = arrayValue(value, where);
  if (numbers.size() != 2 * count) fail(where, "needs " + std::to_string(2 * count) + " numbers");
  std::vector<ScreenPoint> read;
  for (std::size_t i = 0; i < numbers.size(); i += 2) {
    double xy[2] = {0, 0};
    for (std::size_t j = 0; j < 2; ++j) {
      const Json& number = numbers[i + j];
      if (!number.is_number() || !std::isfinite(number.get<double>()) ||
          std::fabs(number.get<double>()) > kMaximumCoordinate) {
        fail(at(where, i + j), "must be a finite coordinate within a million points");
      }
      xy[j] = number.get<double>();
    }
    read.push_back({xy[0], xy[1]});
  }
  return read;
}

EventFlags modifiers(const Json& value, const std::string& where) {
  EventFlags flags = 0;
  const Json& names = arrayValue(value, where);
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string name = stringValue(names[i], at(where, i));
    if (name == "command") {
      flags |= kEventFlagCommand;
    } else if (name == "shift") {
      flags |= kEventFlagShift;
    } else if (name == "option") {
      flags |= kEventFlagOption;
    } else if (name == "control") {
      flags |= kEventFlagControl;
    } else {
      fail(at(where, i), "must be command, shift, option or control");
    }
  }
  return flags;
}

ScenarioUserAction action(const Json& value, const std::string& where) {
  requireKeys(value, where,
              {"atMs", "keyCode", "modifiers", "targetPid", "click", "count", "drag",
               "tapDisabled"});
  ScenarioUserAction action;
  const Json* time = member(value, "atMs");
  if (time == nullptr) fail(where, "needs atMs");
  action.atMilliseconds = integerIn(*time, at(where, "atMs"), 0, kMaximumActionMilliseconds);
  int kinds = 0;
  if (const Json* code = member(value, "keyCode")) {
    ++kinds;
    action.kind = ScenarioUserAction::Kind::key;
    action.keyCode = static_cast<std::uint16_t>(integerIn(*code, at(where, "keyCode"), 0, 127));
    if (const Json* names = member(value, "modifiers")) {
      action.flags = modifiers(*names, at(where, "modifiers"));
    }
  } else if (member(value, "modifiers") != nullptr) {
    fail(at(where, "modifiers"), "belongs with keyCode");
  }
  if (const Json* pid = member(value, "targetPid")) {
    action.targetPid = static_cast<ProcessId>(integerIn(*pid, at(where, "targetPid"), 1, 0x7FFFFFFF));
  }
  if (const Json* click = member(value, "click")) {
    ++kinds;
    action.kind = ScenarioUserAction::Kind::click;
    action.from = action.to = points(*click, at(where, "click"), 1).front();
    if (const Json* count = member(value, "count")) {
      action.clicks = integerIn(*count, at(where, "count"), 1, 3);
    }
  } else if (member(value, "count") != nullptr) {
    fail(at(where, "count"), "belongs with click");
  }
  if (const Json* drag = member(value, "drag")) {
    ++kinds;
    action.kind = ScenarioUserAction::Kind::drag;
    const auto ends = points(*drag, at(where, "drag"), 2);
    action.from = ends[0];
    action.to = ends[1];
  }
  if (const Json* notice = member(value, "tapDisabled")) {
    ++kinds;
    action.kind = ScenarioUserAction::Kind::tapDisabled;
    const std::string name = stringValue(*notice, at(where, "tapDisabled"));
    if (name == "timeout") {
      action.notice = kEventTapDisabledByTimeout;
    } else if (name == "user-input") {
      action.notice = kEventTapDisabledByUserInput;
    } else {
      fail(at(where, "tapDisabled"), "must be timeout or user-input");
    }
  }
  if (kinds != 1) fail(where, "needs exactly one of keyCode, click, drag, tapDisabled");
  return action;
}

}  // namespace

void readUserKeys(const Json& root, Scenario& scenario) {
  if (const Json* list = member(root, "user")) {
    const Json& actions = arrayValue(*list, "user");
    if (actions.size() > kMaximumUserActions) fail("user", "too many actions");
    for (std::size_t i = 0; i < actions.size(); ++i) {
      scenario.user.push_back(action(actions[i], at("user", i)));
    }
  }
  if (const Json* list = member(root, "overlays")) {
    const Json& overlays = arrayValue(*list, "overlays");
    if (overlays.size() > kMaximumOverlays) fail("overlays", "too many overlays");
    for (std::size_t i = 0; i < overlays.size(); ++i) {
      const std::string where = at("overlays", i);
      requireKeys(overlays[i], where, {"pid", "layer"});
      const Json* pid = member(overlays[i], "pid");
      if (pid == nullptr) fail(where, "needs a pid");
      ScenarioOverlay overlay;
      overlay.pid = static_cast<ProcessId>(integerIn(*pid, at(where, "pid"), 2, 0x7FFFFFFF));
      if (const Json* layer = member(overlays[i], "layer")) {
        overlay.layer = integerIn(*layer, at(where, "layer"), -kMaximumLayer, kMaximumLayer);
      }
      scenario.overlays.push_back(overlay);
    }
  }
  if (const Json* flag = member(root, "windowListFails")) {
    scenario.windowListFails = boolValue(*flag, "windowListFails");
  }
  if (const Json* flag = member(root, "eventTapRefused")) {
    scenario.eventTapRefused = boolValue(*flag, "eventTapRefused");
  }
}

void readCopyKey(const Json& application, const std::string& where, ScenarioApplication& app) {
  const Json* copy = member(application, "copy");
  if (copy == nullptr) return;
  const std::string here = at(where, "copy");
  requireKeys(*copy, here, {"writes", "delayMs"});
  if (const Json* writes = member(*copy, "writes")) {
    const std::string name = stringValue(*writes, at(here, "writes"));
    if (name == "selection") {
      app.copy.writes = CopyWrites::selection;
    } else if (name == "twice") {
      app.copy.writes = CopyWrites::selectionTwice;
    } else if (name == "nothing") {
      app.copy.writes = CopyWrites::nothing;
    } else if (name == "unless-unchanged") {
      app.copy.writes = CopyWrites::unlessUnchanged;
    } else {
      fail(at(here, "writes"), "must be selection, twice, nothing or unless-unchanged");
    }
  }
  if (const Json* delay = member(*copy, "delayMs")) {
    app.copy.delay = std::chrono::milliseconds(
        integerIn(*delay, at(here, "delayMs"), 0, kMaximumCopyDelayMilliseconds));
  }
}

}  // namespace orvix::platform::simulated
