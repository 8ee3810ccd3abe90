#include "platform/simulated/desktop/scenario_agent_keys.h"

#include <chrono>
#include <cmath>

#include "platform/simulated/scenario_reading.h"

namespace orvix::platform::simulated {

namespace {

using namespace scenario_reading;

constexpr std::int64_t kMaximumDelayMilliseconds = 600'000;
constexpr double kMaximumCallCostMilliseconds = 60'000;
constexpr double kMaximumFrameCoordinate = 1e6;
constexpr std::size_t kMaximumAttributes = 64;

template <typename Enum, std::size_t N>
Enum named(const Json& value, const std::string& where,
           const std::pair<std::string_view, Enum> (&names)[N]) {
  const std::string name = stringValue(value, where);
  for (const auto& [text, result] : names) {
    if (text == name) return result;
  }
  fail(where, "unknown value \"" + name + "\"");
}

Duration callCost(const Json& value, const std::string& where) {
  if (!value.is_number()) fail(where, "must be a number of milliseconds");
  const double milliseconds = value.get<double>();
  if (!std::isfinite(milliseconds) || milliseconds < 0 ||
      milliseconds > kMaximumCallCostMilliseconds) {
    fail(where, "must be from 0 to 60000 milliseconds");
  }
  return std::chrono::duration_cast<Duration>(
      std::chrono::duration<double, std::milli>(milliseconds));
}

double frameNumber(const Json& value, const std::string& where) {
  if (!value.is_number()) fail(where, "must be a number");
  const double number = value.get<double>();
  if (!std::isfinite(number) || std::fabs(number) > kMaximumFrameCoordinate) {
    fail(where, "must be a finite number within a million points");
  }
  return number;
}

AXValue attributeValue(const Json& value, const std::string& where) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_boolean()) return value.get<bool>();
  if (value.is_number()) return frameNumber(value, where);
  fail(where, "must be a string, a boolean or a number");
}

}  // namespace

void readAgentApplicationKeys(const Json& value, const std::string& where,
                              ScenarioApplication& app) {
  if (const Json* text = member(value, "location")) {
    app.location = stringValue(*text, at(where, "location"));
    if (app.location->empty()) fail(at(where, "location"), "must not be empty");
  }
  if (const Json* flag = member(value, "running")) app.running = boolValue(*flag, at(where, "running"));
  if (!app.running && !app.location) fail(at(where, "running"), "an application not running needs a location to start from");
  if (const Json* delay = member(value, "launchDelayMs")) {
    app.launchDelayMilliseconds =
        integerIn(*delay, at(where, "launchDelayMs"), 0, kMaximumDelayMilliseconds);
  }
  if (const Json* gate = member(value, "accessibility")) {
    static constexpr std::pair<std::string_view, AccessibilityGate> kGates[] = {
        {"plain", AccessibilityGate::none},
        {"manual", AccessibilityGate::manual},
        {"enhanced", AccessibilityGate::enhanced}};
    app.gate = named(*gate, at(where, "accessibility"), kGates);
  }
  if (const Json* flag = member(value, "activationRefused")) {
    app.activationRefused = boolValue(*flag, at(where, "activationRefused"));
  }
  if (const Json* cost = member(value, "callCostMs")) app.callCost = callCost(*cost, at(where, "callCostMs"));
  if (const Json* id = member(value, "focusedWindow")) {
    app.focusedWindow = stringValue(*id, at(where, "focusedWindow"));
  }
  if (const Json* id = member(value, "mainWindow")) {
    app.mainWindow = stringValue(*id, at(where, "mainWindow"));
  }
}

void readAgentElementKeys(const Json& value, const std::string& where, ScenarioElement& element) {
  if (const Json* attributes = member(value, "attributes")) {
    const std::string attributesAt = at(where, "attributes");
    if (!attributes->is_object()) fail(attributesAt, "must be an object of attribute: value");
    if (attributes->size() > kMaximumAttributes) fail(attributesAt, "too many attributes");
    for (const auto& [name, attribute] : attributes->items()) {
      element.attributes[name] = attributeValue(attribute, at(attributesAt, name));
    }
  }
  if (const Json* frame = member(value, "frame")) {
    const std::string frameAt = at(where, "frame");
    if (!frame->is_array() || frame->size() != 4) fail(frameAt, "must be [x, y, width, height]");
    const double width = frameNumber((*frame)[2], frameAt);
    const double height = frameNumber((*frame)[3], frameAt);
    if (width < 0 || height < 0) fail(frameAt, "width and height must not be negative");
    element.attributes["AXPosition"] =
        AXPoint{frameNumber((*frame)[0], frameAt), frameNumber((*frame)[1], frameAt)};
    element.attributes["AXSize"] = AXSize{width, height};
  }
  if (const Json* delay = member(value, "appearsAfterMs")) {
    element.appearsAfterMilliseconds =
        integerIn(*delay, at(where, "appearsAfterMs"), 0, kMaximumDelayMilliseconds);
  }
  if (const Json* name = member(value, "childrenAttribute")) {
    static constexpr std::pair<std::string_view, int> kChildLists[] = {
        {"AXChildren", 0}, {"AXContents", 1}, {"AXVisibleChildren", 2},
        {"AXChildrenInNavigationOrder", 3}};
    named(*name, at(where, "childrenAttribute"), kChildLists);
    element.childrenAttribute = name->get<std::string>();
  }
  if (const Json* flag = member(value, "ignoresFocusWrite")) {
    element.ignoresFocusWrite = boolValue(*flag, at(where, "ignoresFocusWrite"));
  }
  if (const Json* shows = member(value, "shows")) {
    static constexpr std::pair<std::string_view, DraftDisplay> kDisplays[] = {
        {"value", DraftDisplay::value},
        {"non-breaking-spaces", DraftDisplay::nonBreakingSpaces},
        {"trailing-newline", DraftDisplay::trailingNewline},
        {"range-only", DraftDisplay::rangeOnly},
        {"count-only", DraftDisplay::countOnly}};
    element.shows = named(*shows, at(where, "shows"), kDisplays);
  }
  if (const Json* onReturn = member(value, "onReturn")) {
    static constexpr std::pair<std::string_view, ReturnBehaviour> kBehaviours[] = {
        {"none", ReturnBehaviour::none},
        {"clear", ReturnBehaviour::clear},
        {"remove", ReturnBehaviour::remove}};
    element.onReturn = named(*onReturn, at(where, "onReturn"), kBehaviours);
  }
  if (const Json* cost = member(value, "callCostMs")) {
    element.callCost = callCost(*cost, at(where, "callCostMs"));
  }
}

}  // namespace orvix::platform::simulated
