#include "platform/simulated/desktop/scenario_loader.h"

#include <chrono>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace orvix::platform::simulated {

namespace {

// One action of the scripted user, at its time.
void perform(SimulatedDesktop& desktop, const ScenarioUserAction& action) {
  SimulatedDesktop::UserEvent event;
  event.targetPid = action.targetPid.value_or(desktop.focusedApplication().value_or(0));
  switch (action.kind) {
    case ScenarioUserAction::Kind::key:
      event.keyCode = action.keyCode;
      event.flags = action.flags;
      desktop.userEvent(event);
      return;
    case ScenarioUserAction::Kind::click:
    case ScenarioUserAction::Kind::drag:
      event.type = EventType::leftMouseDown;
      event.location = action.from;
      event.clickState = action.clicks;
      desktop.userEvent(event);
      event.type = EventType::leftMouseUp;
      event.location = action.to;
      desktop.userEvent(event);
      return;
    case ScenarioUserAction::Kind::tapDisabled:
      desktop.disableEventTaps(action.notice);
      return;
  }
}

class Builder {
 public:
  Builder(const Scenario& scenario, SimulatedDesktop& desktop, LoadedScenario& loaded)
      : scenario_(scenario), desktop_(desktop), loaded_(loaded) {}

  void build() {
    if (scenario_.host.pid != SimulatedDesktop::kDefaultCurrentProcess) {
      desktop_.endProcess(SimulatedDesktop::kDefaultCurrentProcess);
    }
    for (const auto& process : scenario_.processes)
      desktop_.addProcess(process.pid, process.parent);
    desktop_.addProcess(scenario_.host.pid, scenario_.host.parent);
    desktop_.setCurrentProcess(scenario_.host.pid);
    for (const auto& app : scenario_.applications) {
      if (!listed(app.pid)) desktop_.addProcess(app.pid, 1);
      const ElementId appElement = desktop_.addApplication(
          ApplicationSpec{app.pid, app.bundleIdentifier, app.name, app.hidden});
      // Before the elements: late ones of an application not yet running wait for its launch.
      if (app.location) {
        desktop_.installApplication(app.pid, *app.location, app.running,
                                    std::chrono::milliseconds(app.launchDelayMilliseconds));
      }
      desktop_.setAccessibilityGate(app.pid, app.gate);
      desktop_.setActivationRefused(app.pid, app.activationRefused);
      desktop_.setApplicationCallCost(app.pid, app.callCost);
      desktop_.setCopyBehaviour(app.pid, app.copy);
      for (const auto& window : app.windows) addElement(window, appElement, app.pid);
      if (!app.focusedWindow.empty() || !app.mainWindow.empty()) {
        desktop_.setApplicationWindows(app.pid, loaded_.element(app.focusedWindow),
                                       loaded_.element(app.mainWindow));
      }
    }
    desktop_.setPasteboard(scenario_.pasteboardText, scenario_.pasteboardChangeCount);
    desktop_.setPasteboardSetStringFails(scenario_.pasteboardSetStringFails);
    desktop_.setProcessTrusted(scenario_.trusted);
    desktop_.setEventCreationFails(scenario_.eventsFail);
    if (scenario_.pointer) desktop_.setPointer(*scenario_.pointer);
    for (const auto& [attribute, error] : scenario_.systemWideErrors) {
      desktop_.setSystemWideError(attribute, error);
    }
    if (scenario_.focus) desktop_.setFocus(target(*scenario_.focus));
    if (scenario_.frontmostGiven) desktop_.setFrontmostApplication(scenario_.frontmost);
    for (const auto& move : scenario_.focusMoves) schedule(move);
    // Listed back to front, so that the first ends up frontmost.
    for (auto overlay = scenario_.overlays.rbegin(); overlay != scenario_.overlays.rend();
         ++overlay) {
      desktop_.addOverlayWindow(overlay->pid, overlay->layer);
    }
    desktop_.setWindowListFails(scenario_.windowListFails);
    desktop_.setEventTapRefused(scenario_.eventTapRefused);
    for (const auto& action : scenario_.user) {
      desktop_.afterDelay(std::chrono::milliseconds(action.atMilliseconds),
                          [action](SimulatedDesktop& desktop) { perform(desktop, action); });
    }
  }

 private:
  bool listed(ProcessId pid) const {
    if (pid == scenario_.host.pid) return true;
    for (const auto& process : scenario_.processes) {
      if (process.pid == pid) return true;
    }
    return false;
  }

  void addElement(const ScenarioElement& element, ElementId parent, ProcessId parentPid) {
    ElementSpec spec(element.kind, parent);
    spec.pid = element.pid.value_or(parentPid);
    spec.role = element.role;
    spec.subrole = element.subrole;
    spec.title = element.title;
    spec.value = element.value;
    spec.selectedRange = element.selectedRange;
    if (element.settable) spec.withSettable({element.settable->begin(), element.settable->end()});
    spec.pasteLatency = std::chrono::milliseconds(element.pasteLatencyMilliseconds);
    for (const auto& [name, value] : element.attributes) spec.withAttribute(name, value);
    spec.appearsAfter = std::chrono::milliseconds(element.appearsAfterMilliseconds);
    if (element.childrenAttribute) spec.childrenAttribute = *element.childrenAttribute;
    spec.ignoresFocusWrite = element.ignoresFocusWrite;
    spec.shows = element.shows;
    spec.onReturn = element.onReturn;
    spec.callCost = element.callCost;
    const ElementId id = desktop_.addElement(spec);
    for (const auto& [attribute, error] : element.errors) {
      desktop_.setAttributeError(id, attribute, error);
    }
    if (element.pidError) desktop_.setProcessIdError(id, element.pidError);
    if (!element.id.empty()) loaded_.elements[element.id] = id;
    for (const auto& child : element.children) addElement(child, id, *spec.pid);
  }

  FocusTarget target(const ScenarioFocus& focus) const {
    FocusTarget target;
    target.application = focus.application;
    if (!focus.window.empty()) target.window = loaded_.element(focus.window);
    if (!focus.element.empty()) target.element = loaded_.element(focus.element);
    return target;
  }

  void schedule(const ScenarioFocusMove& move) {
    const FocusTarget to = target(move.focus);
    switch (move.trigger) {
      case ScenarioFocusMove::Trigger::atTime:
        desktop_.moveFocusAfter(std::chrono::milliseconds(move.atMilliseconds), to);
        break;
      case ScenarioFocusMove::Trigger::afterSystemWideReads:
        desktop_.moveFocusAfterSystemWideReads(move.attribute, move.reads, to);
        break;
      case ScenarioFocusMove::Trigger::onPaste:
        desktop_.moveFocusOnPaste(to);
        break;
    }
  }

  const Scenario& scenario_;
  SimulatedDesktop& desktop_;
  LoadedScenario& loaded_;
};

}  // namespace

ElementId LoadedScenario::element(const std::string& id) const {
  const auto it = elements.find(id);
  return it == elements.end() ? kNoElement : it->second;
}

ScenarioResult buildScenario(const Scenario& scenario, TimeSource& time) {
  LoadedScenario loaded;
  loaded.desktop = std::make_unique<SimulatedDesktop>(time);
  try {
    Builder(scenario, *loaded.desktop, loaded).build();
  } catch (const std::invalid_argument& error) {
    // The parser checks every reference; reaching this is a gap in it, still not a crash.
    return ScenarioError{std::string("scenario: ") + error.what()};
  }
  return loaded;
}

ScenarioResult loadScenarioText(std::string_view json, TimeSource& time) {
  auto parsed = parseScenario(json);
  if (auto* error = std::get_if<ScenarioError>(&parsed)) return std::move(*error);
  return buildScenario(std::get<Scenario>(parsed), time);
}

ScenarioResult loadScenario(std::string_view nameOrPath, TimeSource& time) {
  if (nameOrPath == "default") return loadScenarioText(defaultScenarioJson(), time);
  const std::string path(nameOrPath);
  std::ifstream file(path, std::ios::binary);
  if (!file)
    return ScenarioError{path + ": cannot be opened (not \"default\" nor a readable file)"};
  // Read one byte past the limit, so an oversized file is refused without holding all of it.
  std::string text(kMaximumScenarioBytes + 1, '\0');
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (file.bad()) return ScenarioError{path + ": cannot be read"};
  text.resize(static_cast<std::size_t>(file.gcount()));
  auto result = loadScenarioText(text, time);
  if (auto* error = std::get_if<ScenarioError>(&result))
    error->message = path + ": " + error->message;
  return result;
}

}  // namespace orvix::platform::simulated
