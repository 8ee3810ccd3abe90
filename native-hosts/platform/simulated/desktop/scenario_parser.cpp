#include "platform/simulated/desktop/scenario_parser.h"

#include <cmath>
#include <initializer_list>
#include <set>
#include <tuple>

#include "common/json_wire.h"
#include "platform/simulated/desktop/element_kinds.h"
#include "platform/simulated/desktop/scenario_agent_keys.h"
#include "platform/simulated/desktop/scenario_user_keys.h"
#include "platform/simulated/scenario_reading.h"

namespace orvix::platform::simulated {

namespace {

using namespace scenario_reading;

constexpr std::int64_t kMaximumPid = 0x7FFFFFFF;
constexpr std::int64_t kMaximumPasteLatencyMilliseconds = 600'000;
constexpr std::int64_t kMaximumMoveMilliseconds = 86'400'000;
constexpr std::int64_t kMaximumReads = 1'000'000;
constexpr std::int64_t kMaximumChangeCount = std::int64_t{1} << 53;
constexpr double kMaximumCoordinate = 1e6;

ProcessId pidValue(const Json& value, const std::string& where, std::int64_t lowest = 2) {
  return static_cast<ProcessId>(integerIn(value, where, lowest, kMaximumPid));
}

AXError errorCode(const Json& value, const std::string& where) {
  const auto code = integerIn(value, where, static_cast<std::int64_t>(AXError::notEnoughPrecision),
                              static_cast<std::int64_t>(AXError::failure));
  return static_cast<AXError>(code);
}

std::map<std::string, AXError> errorMap(const Json& value, const std::string& where) {
  if (!value.is_object()) fail(where, "must be an object of attribute: error code");
  std::map<std::string, AXError> errors;
  for (const auto& [attribute, code] : value.items()) {
    errors[attribute] = errorCode(code, at(where, attribute));
  }
  return errors;
}

double coordinate(const Json& value, const std::string& where) {
  if (!value.is_number()) fail(where, "must be a number");
  const double number = value.get<double>();
  if (!std::isfinite(number) || std::fabs(number) > kMaximumCoordinate) {
    fail(where, "must be a finite coordinate within a million points");
  }
  return number;
}

class Parser {
 public:
  Scenario parse(const Json& root) {
    requireKeys(root, "",
                {"host", "processes", "applications", "focus", "frontmost", "pasteboard", "trusted",
                 "eventsFail", "pointer", "systemWideErrors", "focusMoves", "user", "overlays",
                 "windowListFails", "eventTapRefused"});
    if (const Json* host = member(root, "host")) scenario_.host = process(*host, "host");
    if (const Json* list = member(root, "processes")) {
      const Json& processes = arrayValue(*list, "processes");
      if (processes.size() > kMaximumScenarioProcesses) fail("processes", "too many processes");
      for (std::size_t i = 0; i < processes.size(); ++i) {
        scenario_.processes.push_back(process(processes[i], at("processes", i)));
      }
    }
    if (const Json* list = member(root, "applications")) {
      const Json& applications = arrayValue(*list, "applications");
      for (std::size_t i = 0; i < applications.size(); ++i) {
        scenario_.applications.push_back(application(applications[i], at("applications", i)));
      }
    }
    if (const Json* value = member(root, "focus")) scenario_.focus = focus(*value, "focus");
    if (const Json* value = member(root, "frontmost")) {
      scenario_.frontmostGiven = true;
      if (!value->is_null()) scenario_.frontmost = pidValue(*value, "frontmost");
    }
    if (const Json* value = member(root, "pasteboard")) pasteboard(*value, "pasteboard");
    if (const Json* value = member(root, "trusted"))
      scenario_.trusted = boolValue(*value, "trusted");
    if (const Json* value = member(root, "eventsFail")) {
      scenario_.eventsFail = boolValue(*value, "eventsFail");
    }
    if (const Json* value = member(root, "pointer")) {
      requireKeys(*value, "pointer", {"x", "y"});
      const Json* x = member(*value, "x");
      const Json* y = member(*value, "y");
      if (x == nullptr || y == nullptr) fail("pointer", "needs x and y");
      scenario_.pointer = ScreenPoint{coordinate(*x, "pointer.x"), coordinate(*y, "pointer.y")};
    }
    if (const Json* value = member(root, "systemWideErrors")) {
      scenario_.systemWideErrors = errorMap(*value, "systemWideErrors");
    }
    if (const Json* list = member(root, "focusMoves")) {
      const Json& moves = arrayValue(*list, "focusMoves");
      for (std::size_t i = 0; i < moves.size(); ++i) {
        scenario_.focusMoves.push_back(focusMove(moves[i], at("focusMoves", i)));
      }
    }
    readUserKeys(root, scenario_);
    for (std::size_t i = 0; i < scenario_.overlays.size(); ++i) {
      const ProcessId pid = scenario_.overlays[i].pid;
      if (!pids_.contains(pid) && !applicationPids_.contains(pid)) {
        fail(at(at("overlays", i), "pid"), "names no listed process");
      }
    }
    checkProcessTree();
    checkReferences();
    return std::move(scenario_);
  }

 private:
  ScenarioProcess process(const Json& value, const std::string& where) {
    requireKeys(value, where, {"pid", "parent"});
    const Json* pid = member(value, "pid");
    if (pid == nullptr) fail(where, "needs a pid");
    ScenarioProcess process;
    process.pid = pidValue(*pid, at(where, "pid"));
    if (const Json* parent = member(value, "parent")) {
      process.parent = pidValue(*parent, at(where, "parent"), 1);
    }
    if (!pids_.insert(process.pid).second) fail(at(where, "pid"), "process listed twice");
    return process;
  }

  ScenarioApplication application(const Json& value, const std::string& where) {
    requireKeys(value, where,
                {"pid", "bundleId", "name", "hidden", "windows", "location", "running",
                 "launchDelayMs", "accessibility", "activationRefused", "callCostMs",
                 "focusedWindow", "mainWindow", "copy"});
    const Json* pid = member(value, "pid");
    if (pid == nullptr) fail(where, "needs a pid");
    ScenarioApplication app;
    app.pid = pidValue(*pid, at(where, "pid"));
    if (!applicationPids_.insert(app.pid).second)
      fail(at(where, "pid"), "application listed twice");
    if (const Json* text = member(value, "bundleId")) {
      app.bundleIdentifier = stringValue(*text, at(where, "bundleId"));
    }
    if (const Json* text = member(value, "name")) app.name = stringValue(*text, at(where, "name"));
    if (const Json* flag = member(value, "hidden"))
      app.hidden = boolValue(*flag, at(where, "hidden"));
    if (const Json* list = member(value, "windows")) {
      const Json& windows = arrayValue(*list, at(where, "windows"));
      for (std::size_t i = 0; i < windows.size(); ++i) {
        app.windows.push_back(
            element(windows[i], at(at(where, "windows"), i), app.pid, ElementKind::window, 1));
      }
    }
    readAgentApplicationKeys(value, where, app);
    readCopyKey(value, where, app);
    for (const std::string* id : {&app.focusedWindow, &app.mainWindow}) {
      if (!id->empty()) ownWindows_.emplace_back(app.pid, *id, where);
    }
    return app;
  }

  // Windows and the elements below them; `fixedKind` is set for windows, which take no "kind".
  ScenarioElement element(const Json& value, const std::string& where, ProcessId application,
                          std::optional<ElementKind> fixedKind, int depth) {
    if (depth > kMaximumScenarioTreeDepth) fail(where, "elements nested too deep");
    if (++elementCount_ > kMaximumScenarioElements) fail(where, "too many elements");
    requireKeys(value, where,
                {"id", "kind", "pid", "role", "subrole", "title", "value", "selectedRange",
                 "settable", "errors", "pidError", "pasteLatencyMs", "children", "attributes",
                 "frame", "appearsAfterMs", "childrenAttribute", "ignoresFocusWrite", "shows",
                 "onReturn", "callCostMs"});
    ScenarioElement element;
    if (const Json* id = member(value, "id")) {
      element.id = stringValue(*id, at(where, "id"));
      if (element.id.empty()) fail(at(where, "id"), "must not be empty");
      if (!elementApplications_.emplace(element.id, application).second) {
        fail(at(where, "id"), "id used twice");
      }
      if (fixedKind == ElementKind::window) windowIds_.insert(element.id);
    }
    if (fixedKind) {
      if (member(value, "kind") != nullptr) fail(at(where, "kind"), "a window has no kind");
      element.kind = *fixedKind;
    } else if (const Json* kind = member(value, "kind")) {
      const std::string name = stringValue(*kind, at(where, "kind"));
      const auto named = elementKindNamed(name);
      if (!named || *named == ElementKind::application || *named == ElementKind::window) {
        fail(at(where, "kind"), "unknown element kind \"" + name + "\"");
      }
      element.kind = *named;
    }
    if (const Json* pid = member(value, "pid")) {
      element.pid = pidValue(*pid, at(where, "pid"));
      elementPids_.emplace_back(*element.pid, at(where, "pid"));
    }
    if (const Json* text = member(value, "role"))
      element.role = stringValue(*text, at(where, "role"));
    if (const Json* text = member(value, "subrole")) {
      element.subrole = stringValue(*text, at(where, "subrole"));
    }
    if (const Json* text = member(value, "title"))
      element.title = stringValue(*text, at(where, "title"));
    if (const Json* text = member(value, "value"))
      element.value = stringValue(*text, at(where, "value"));
    if (const Json* range = member(value, "selectedRange")) {
      const std::string rangeAt = at(where, "selectedRange");
      if (!range->is_array() || range->size() != 2) fail(rangeAt, "must be [location, length]");
      // Out-of-range selections are allowed: the host must survive what an application reports.
      element.selectedRange = TextRange{integerIn((*range)[0], rangeAt, INT32_MIN, INT32_MAX),
                                        integerIn((*range)[1], rangeAt, INT32_MIN, INT32_MAX)};
    }
    if (const Json* list = member(value, "settable")) {
      const Json& names = arrayValue(*list, at(where, "settable"));
      element.settable.emplace();
      for (std::size_t i = 0; i < names.size(); ++i) {
        element.settable->push_back(stringValue(names[i], at(at(where, "settable"), i)));
      }
    }
    if (const Json* errors = member(value, "errors")) {
      element.errors = errorMap(*errors, at(where, "errors"));
    }
    if (const Json* code = member(value, "pidError")) {
      element.pidError = errorCode(*code, at(where, "pidError"));
    }
    if (const Json* latency = member(value, "pasteLatencyMs")) {
      element.pasteLatencyMilliseconds =
          integerIn(*latency, at(where, "pasteLatencyMs"), 0, kMaximumPasteLatencyMilliseconds);
    }
    readAgentElementKeys(value, where, element);
    if (const Json* list = member(value, "children")) {
      const Json& children = arrayValue(*list, at(where, "children"));
      for (std::size_t i = 0; i < children.size(); ++i) {
        element.children.push_back(this->element(children[i], at(at(where, "children"), i),
                                                 application, std::nullopt, depth + 1));
      }
    }
    return element;
  }

  ScenarioFocus focus(const Json& value, const std::string& where) {
    requireKeys(value, where, {"application", "window", "element"});
    ScenarioFocus focus;
    bool applicationGiven = false;
    if (const Json* app = member(value, "application")) {
      applicationGiven = true;
      if (!app->is_null()) focus.application = pidValue(*app, at(where, "application"));
    }
    if (const Json* id = member(value, "window"))
      focus.window = stringValue(*id, at(where, "window"));
    if (const Json* id = member(value, "element")) {
      focus.element = stringValue(*id, at(where, "element"));
    }
    if (!applicationGiven && focus.window.empty() && focus.element.empty()) {
      fail(where, "names no application, window or element");
    }
    if (applicationGiven && !focus.application &&
        (!focus.window.empty() || !focus.element.empty())) {
      fail(where, "a window or element needs an application with the focus");
    }
    return focus;  // ids are resolved in checkReferences, once every element is known
  }

  ScenarioFocusMove focusMove(const Json& value, const std::string& where) {
    requireKeys(value, where, {"atMs", "afterSystemWideReads", "reads", "onPaste", "focus"});
    ScenarioFocusMove move;
    int triggers = 0;
    if (const Json* time = member(value, "atMs")) {
      ++triggers;
      move.trigger = ScenarioFocusMove::Trigger::atTime;
      move.atMilliseconds = integerIn(*time, at(where, "atMs"), 0, kMaximumMoveMilliseconds);
    }
    if (const Json* attribute = member(value, "afterSystemWideReads")) {
      ++triggers;
      move.trigger = ScenarioFocusMove::Trigger::afterSystemWideReads;
      move.attribute = stringValue(*attribute, at(where, "afterSystemWideReads"));
      const Json* reads = member(value, "reads");
      move.reads = reads == nullptr
                       ? 1
                       : static_cast<int>(integerIn(*reads, at(where, "reads"), 1, kMaximumReads));
    } else if (member(value, "reads") != nullptr) {
      fail(at(where, "reads"), "belongs with afterSystemWideReads");
    }
    if (const Json* flag = member(value, "onPaste")) {
      if (!boolValue(*flag, at(where, "onPaste"))) fail(at(where, "onPaste"), "must be true");
      ++triggers;
      move.trigger = ScenarioFocusMove::Trigger::onPaste;
    }
    if (triggers != 1) fail(where, "needs exactly one of atMs, afterSystemWideReads, onPaste");
    const Json* target = member(value, "focus");
    if (target == nullptr) fail(where, "needs a focus");
    move.focus = focus(*target, at(where, "focus"));
    return move;
  }

  void pasteboard(const Json& value, const std::string& where) {
    requireKeys(value, where, {"text", "changeCount", "setStringFails"});
    if (const Json* text = member(value, "text")) {
      if (!text->is_null()) scenario_.pasteboardText = stringValue(*text, at(where, "text"));
    }
    if (const Json* count = member(value, "changeCount")) {
      scenario_.pasteboardChangeCount =
          integerIn(*count, at(where, "changeCount"), 0, kMaximumChangeCount);
    }
    if (const Json* flag = member(value, "setStringFails")) {
      scenario_.pasteboardSetStringFails = boolValue(*flag, at(where, "setStringFails"));
    }
  }

  // Every parent is process 1 or a listed process, and following parents always reaches 1.
  void checkProcessTree() {
    std::map<ProcessId, ProcessId> parents;
    for (const auto& process : scenario_.processes) parents[process.pid] = process.parent;
    if (!parents.emplace(scenario_.host.pid, scenario_.host.parent).second) {
      fail("host.pid", "the host's process is listed among the processes too");
    }
    for (const auto& app : scenario_.applications) parents.emplace(app.pid, 1);
    for (const auto& [pid, parent] : parents) {
      ProcessId current = pid;
      std::size_t steps = 0;
      while (current != 1) {
        const auto it = parents.find(current);
        if (it == parents.end()) {
          fail("processes", "process " + std::to_string(current) + " is not listed");
        }
        if (++steps > parents.size()) {
          fail("processes", "process " + std::to_string(pid) + " is its own ancestor");
        }
        if (it->second != 1 && !parents.contains(it->second)) {
          fail("processes", "process " + std::to_string(current) + " has parent " +
                                std::to_string(it->second) + ", which is not listed");
        }
        current = it->second;
      }
    }
    knownPids_ = std::move(parents);
  }

  void checkReferences() {
    for (const auto& [pid, where] : elementPids_) {
      if (!knownPids_.contains(pid)) fail(where, "names a process that is not listed");
    }
    if (scenario_.frontmost && !applicationPids_.contains(*scenario_.frontmost)) {
      fail("frontmost", "names no application");
    }
    for (const auto& [pid, id, where] : ownWindows_) {
      const auto owner = elementApplications_.find(id);
      if (owner == elementApplications_.end() || owner->second != pid || !windowIds_.contains(id)) {
        fail(where, "\"" + id + "\" is not a window of this application");
      }
    }
    if (scenario_.focus) resolve(*scenario_.focus, "focus");
    for (std::size_t i = 0; i < scenario_.focusMoves.size(); ++i) {
      resolve(scenario_.focusMoves[i].focus, at(at("focusMoves", i), "focus"));
    }
  }

  void resolve(ScenarioFocus& focus, const std::string& where) {
    for (const std::string* id : {&focus.window, &focus.element}) {
      if (id->empty()) continue;
      const auto owner = elementApplications_.find(*id);
      if (owner == elementApplications_.end()) fail(where, "no element has the id \"" + *id + "\"");
      if (!focus.application) focus.application = owner->second;
      if (*focus.application != owner->second) {
        fail(where, "\"" + *id + "\" belongs to another application");
      }
    }
    if (!focus.window.empty() && !windowIds_.contains(focus.window)) {
      fail(where, "\"" + focus.window + "\" is not a window");
    }
    if (focus.application && !applicationPids_.contains(*focus.application)) {
      fail(where, "names no application");
    }
  }

  Scenario scenario_;
  std::set<ProcessId> pids_;
  std::set<ProcessId> applicationPids_;
  std::map<ProcessId, ProcessId> knownPids_;
  std::map<std::string, ProcessId> elementApplications_;
  std::set<std::string> windowIds_;
  std::vector<std::pair<ProcessId, std::string>> elementPids_;
  // An application's own focused and main window: (application, window id, where).
  std::vector<std::tuple<ProcessId, std::string, std::string>> ownWindows_;
  std::size_t elementCount_ = 0;
};

}  // namespace

std::variant<Scenario, ScenarioError> parseScenario(std::string_view json) {
  if (json.size() > kMaximumScenarioBytes) {
    return ScenarioError{"scenario: larger than " + std::to_string(kMaximumScenarioBytes) +
                         " bytes"};
  }
  const Json root = Json::parse(json, nullptr, /*allow_exceptions=*/false);
  if (root.is_discarded()) return ScenarioError{"scenario: not valid JSON (or not UTF-8)"};
  try {
    return Parser().parse(root);
  } catch (const Fault& fault) {
    return ScenarioError{fault.message};
  } catch (const Json::exception& error) {
    return ScenarioError{std::string("scenario: ") + error.what()};
  }
}

}  // namespace orvix::platform::simulated
