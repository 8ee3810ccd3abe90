#include "platform/simulated/desktop/simulated_desktop.h"

#include <stdexcept>

#include "platform/simulated/desktop/element_kinds.h"
#include "platform/simulated/desktop/simulated_workspace.h"
#include "platform/simulated/desktop/utf16_text.h"

namespace orvix::platform::simulated {

namespace {
constexpr ProcessId kLaunchProcess = 1;
}  // namespace

ElementSpec& ElementSpec::withRole(std::string name) { return role = std::move(name), *this; }
ElementSpec& ElementSpec::withSubrole(std::string name) {
  return subrole = std::move(name), *this;
}
ElementSpec& ElementSpec::withTitle(std::string text) { return title = std::move(text), *this; }
ElementSpec& ElementSpec::withValue(std::string text) { return value = std::move(text), *this; }

SimulatedDesktop::SimulatedDesktop(TimeSource& time) : time_(time) {
  DesktopWorld& world = model_.world;
  world.processes[kLaunchProcess] = ProcessState{0, true, false};
  world.processes[kDefaultCurrentProcess] = ProcessState{kLaunchProcess, true, false};
  world.currentProcess = kDefaultCurrentProcess;
  queue_ = time_.makeSerialQueue("com.orvix.simulated-desktop");
  model_.schedule = [this](Duration delay, Task task) {
    queue_->asyncAfter(delay, std::move(task));
  };
  model_.postToMainLoop = [&time](Task task) { time.mainLoop().post(std::move(task)); };
  model_.spend = [&time](Duration cost) { time.sleepFor(cost); };
}

SimulatedDesktop::~SimulatedDesktop() {
  // Nothing may schedule onto the queue while it goes away, and tasks still on a loop find the
  // desktop gone.
  {
    std::lock_guard lock(model_.mutex);
    model_.schedule = nullptr;
    model_.postToMainLoop = nullptr;
    model_.lifetime.reset();
  }
  queue_.reset();
}

Desktop SimulatedDesktop::desktop() {
  return Desktop{accessibility_, inputEvents_, workspace_, pasteboard_, processInfo_,
                 windowList_};
}

// ---- processes ----

void SimulatedDesktop::addProcess(ProcessId pid, ProcessId parent) {
  if (pid <= kLaunchProcess) throw std::invalid_argument("process ids above 1 only");
  std::lock_guard lock(model_.mutex);
  ProcessState& state = model_.world.processes[pid];
  state.parent = parent;
  state.alive = true;
}

void SimulatedDesktop::endProcess(ProcessId pid) {
  std::lock_guard lock(model_.mutex);
  model_.world.endProcess(pid);
}

void SimulatedDesktop::setParentReadFails(ProcessId pid, bool fails) {
  std::lock_guard lock(model_.mutex);
  model_.world.processes[pid].parentReadFails = fails;
}

void SimulatedDesktop::setParent(ProcessId pid, ProcessId parent) {
  std::lock_guard lock(model_.mutex);
  model_.world.processes[pid].parent = parent;
}

void SimulatedDesktop::setCurrentProcess(ProcessId pid) {
  std::lock_guard lock(model_.mutex);
  if (!model_.world.processAlive(pid)) throw std::invalid_argument("no such process");
  model_.world.currentProcess = pid;
}

// ---- applications and elements ----

ElementState& SimulatedDesktop::requireElement(ElementId id) {
  ElementState* state = model_.world.element(id);
  if (state == nullptr) throw std::invalid_argument("no such element");
  return *state;
}

ElementId SimulatedDesktop::insertElement(ElementState state) {
  DesktopWorld& world = model_.world;
  state.id = world.nextElementId++;
  if (state.kind == ElementKind::window) {
    state.windowNumber = world.nextWindowNumber++;
    world.windowStack.push_back(state.id);
  }
  ElementState* parent = world.element(state.parent);
  if (parent != nullptr && state.present) parent->children.push_back(state.id);
  const ElementId id = state.id;
  world.elements.emplace(id, std::move(state));
  return id;
}

ElementId SimulatedDesktop::addApplication(const ApplicationSpec& spec) {
  if (spec.pid <= kLaunchProcess) throw std::invalid_argument("application pid above 1 only");
  std::lock_guard lock(model_.mutex);
  DesktopWorld& world = model_.world;
  if (world.application(spec.pid) != nullptr) throw std::invalid_argument("application exists");
  if (!world.processes.contains(spec.pid)) {
    world.processes[spec.pid] = ProcessState{kLaunchProcess, true, false};
  }
  ElementState element = elementDefaults(ElementKind::application);
  element.pid = spec.pid;
  element.title = spec.localizedName;
  ApplicationState app;
  app.pid = spec.pid;
  app.bundleIdentifier = spec.bundleIdentifier;
  app.localizedName = spec.localizedName;
  app.hidden = spec.hidden;
  app.element = insertElement(std::move(element));
  world.applications.emplace(spec.pid, app);
  return app.element;
}

ElementId SimulatedDesktop::applicationElement(ProcessId pid) {
  std::lock_guard lock(model_.mutex);
  const ApplicationState* app = model_.world.application(pid);
  if (app == nullptr) throw std::invalid_argument("no such application");
  return app->element;
}

ElementId SimulatedDesktop::addWindow(ProcessId application, std::string title) {
  std::lock_guard lock(model_.mutex);
  const ApplicationState* app = model_.world.application(application);
  if (app == nullptr) throw std::invalid_argument("no such application");
  ElementState window = elementDefaults(ElementKind::window);
  window.pid = application;
  window.parent = app->element;
  window.title = std::move(title);
  return insertElement(std::move(window));
}

ElementId SimulatedDesktop::addElement(const ElementSpec& spec) {
  if (spec.kind == ElementKind::application) {
    throw std::invalid_argument("applications come from addApplication");
  }
  std::lock_guard lock(model_.mutex);
  const ElementState& parent = requireElement(spec.parent);
  ElementState state = elementDefaults(spec.kind);
  state.parent = spec.parent;
  state.pid = spec.pid.value_or(parent.pid);
  if (spec.role) state.role = *spec.role;
  if (spec.subrole) state.subrole = *spec.subrole;
  state.title = spec.title;
  if (spec.replacesSettable) state.settable = {spec.settable.begin(), spec.settable.end()};
  state.value = spec.value;
  if (!state.value && holdsText(spec.kind)) state.value = "";
  state.selectedRange = spec.selectedRange;
  if (!state.selectedRange && state.value && holdsText(spec.kind)) {
    state.selectedRange = TextRange{utf16Units(*state.value), 0};
  }
  state.pasteLatency = spec.pasteLatency;
  for (const auto& [name, value] : spec.attributes) state.attributes[name] = value;
  state.childrenAttribute = spec.childrenAttribute;
  state.ignoresFocusWrite = spec.ignoresFocusWrite;
  state.shows = spec.shows;
  state.onReturn = spec.onReturn;
  state.callCost = spec.callCost;
  state.appearsAfter = spec.appearsAfter;
  state.present = spec.appearsAfter <= Duration::zero();
  const ElementId id = insertElement(std::move(state));
  // A running application grows the element later; one not yet running does so once launched.
  const ApplicationState* app = model_.world.applicationOwning(id);
  if (spec.appearsAfter > Duration::zero() && app != nullptr && !app->terminated &&
      model_.world.processAlive(app->pid)) {
    scheduleAppearance(model_, id, spec.appearsAfter);
  }
  return id;
}

void SimulatedDesktop::setApplicationHidden(ProcessId pid, bool hidden) {
  std::lock_guard lock(model_.mutex);
  ApplicationState* app = model_.world.application(pid);
  if (app == nullptr) throw std::invalid_argument("no such application");
  app->hidden = hidden;
}

void SimulatedDesktop::installApplication(ProcessId pid, std::string location, bool running,
                                          Duration launchDelay) {
  std::lock_guard lock(model_.mutex);
  ApplicationState* app = model_.world.application(pid);
  if (app == nullptr) throw std::invalid_argument("no such application");
  app->location = std::move(location);
  app->launchDelay = launchDelay;
  // Installed but not started: its process runs from the moment it is opened.
  if (!running) model_.world.endProcess(pid);
}

void SimulatedDesktop::setAccessibilityGate(ProcessId pid, AccessibilityGate gate) {
  std::lock_guard lock(model_.mutex);
  ApplicationState* app = model_.world.application(pid);
  if (app == nullptr) throw std::invalid_argument("no such application");
  app->gate = gate;
  app->gateOpen = false;
}

void SimulatedDesktop::setActivationRefused(ProcessId pid, bool refused) {
  std::lock_guard lock(model_.mutex);
  ApplicationState* app = model_.world.application(pid);
  if (app == nullptr) throw std::invalid_argument("no such application");
  app->activationRefused = refused;
}

void SimulatedDesktop::setApplicationCallCost(ProcessId pid, Duration cost) {
  std::lock_guard lock(model_.mutex);
  ApplicationState* app = model_.world.application(pid);
  if (app == nullptr) throw std::invalid_argument("no such application");
  app->callCost = cost;
}

void SimulatedDesktop::setApplicationWindows(ProcessId pid, ElementId focusedWindow,
                                             ElementId mainWindow) {
  std::lock_guard lock(model_.mutex);
  ApplicationState* app = model_.world.application(pid);
  if (app == nullptr) throw std::invalid_argument("no such application");
  if (focusedWindow != kNoElement) requireElement(focusedWindow);
  if (mainWindow != kNoElement) requireElement(mainWindow);
  if (app->focusedWindow != focusedWindow) {
    model_.world.notify(pid, "AXFocusedWindowChanged", focusedWindow);
  }
  app->focusedWindow = focusedWindow;
  app->mainWindow = mainWindow;
}

void SimulatedDesktop::setAttribute(ElementId id, const std::string& attribute, AXValue value) {
  std::lock_guard lock(model_.mutex);
  requireElement(id).attributes[attribute] = std::move(value);
}

std::optional<AXValue> SimulatedDesktop::attribute(ElementId id, const std::string& attribute) {
  std::lock_guard lock(model_.mutex);
  const auto& attributes = requireElement(id).attributes;
  const auto it = attributes.find(attribute);
  if (it == attributes.end()) return std::nullopt;
  return it->second;
}

void SimulatedDesktop::removeElement(ElementId id) {
  std::lock_guard lock(model_.mutex);
  requireElement(id);
  model_.world.detach(id);
}

bool SimulatedDesktop::present(ElementId id) {
  std::lock_guard lock(model_.mutex);
  return requireElement(id).present;
}

std::optional<std::string> SimulatedDesktop::value(ElementId id) {
  std::lock_guard lock(model_.mutex);
  return requireElement(id).value;
}

std::optional<TextRange> SimulatedDesktop::selectedRange(ElementId id) {
  std::lock_guard lock(model_.mutex);
  return requireElement(id).selectedRange;
}

void SimulatedDesktop::setValue(ElementId id, std::optional<std::string> value) {
  std::lock_guard lock(model_.mutex);
  requireElement(id).value = std::move(value);
}

void SimulatedDesktop::setSelectedRange(ElementId id, std::optional<TextRange> range) {
  std::lock_guard lock(model_.mutex);
  requireElement(id).selectedRange = range;
}

void SimulatedDesktop::setSettable(ElementId id, const std::string& attribute, bool settable) {
  std::lock_guard lock(model_.mutex);
  ElementState& state = requireElement(id);
  if (settable) {
    state.settable.insert(attribute);
  } else {
    state.settable.erase(attribute);
  }
}

void SimulatedDesktop::setAttributeError(ElementId id, const std::string& attribute,
                                         std::optional<AXError> error) {
  std::lock_guard lock(model_.mutex);
  ElementState& state = requireElement(id);
  if (error) {
    state.errors[attribute] = *error;
  } else {
    state.errors.erase(attribute);
  }
}

void SimulatedDesktop::setSystemWideValue(const std::string& attribute,
                                          std::optional<AXValue> value) {
  std::lock_guard lock(model_.mutex);
  if (value) {
    model_.world.systemWideValues[attribute] = std::move(*value);
  } else {
    model_.world.systemWideValues.erase(attribute);
  }
}

void SimulatedDesktop::setSystemWideError(const std::string& attribute,
                                          std::optional<AXError> error) {
  std::lock_guard lock(model_.mutex);
  auto& errors = model_.world.systemWideErrors;
  if (error) {
    errors[attribute] = *error;
  } else {
    errors.erase(attribute);
  }
}

void SimulatedDesktop::setProcessIdError(ElementId id, std::optional<AXError> error) {
  std::lock_guard lock(model_.mutex);
  requireElement(id).pidError = error;
}

void SimulatedDesktop::setPasteLatency(ElementId id, Duration latency) {
  std::lock_guard lock(model_.mutex);
  requireElement(id).pasteLatency = latency;
}

// ---- focus ----

FocusTarget SimulatedDesktop::focusTargetOf(ElementId element) {
  std::lock_guard lock(model_.mutex);
  DesktopWorld& world = model_.world;
  const ElementState& state = requireElement(element);
  const ApplicationState* app = world.applicationOwning(element);
  if (app == nullptr) throw std::invalid_argument("element outside every application");
  if (state.kind == ElementKind::application) return FocusTarget{app->pid, kNoElement, kNoElement};
  if (state.kind == ElementKind::window) return FocusTarget{app->pid, element, kNoElement};
  return FocusTarget{app->pid, world.windowOf(element), element};
}

void SimulatedDesktop::requireFocusTarget(const FocusTarget& target) {
  if (target.application && model_.world.application(*target.application) == nullptr) {
    throw std::invalid_argument("focus on an application that does not exist");
  }
  if (target.element != kNoElement) requireElement(target.element);
  if (target.window != kNoElement) requireElement(target.window);
}

void SimulatedDesktop::setFocus(const FocusTarget& target) {
  std::lock_guard lock(model_.mutex);
  requireFocusTarget(target);
  model_.world.applyFocus(target);
}

void SimulatedDesktop::setFrontmostApplication(std::optional<ProcessId> pid) {
  std::lock_guard lock(model_.mutex);
  model_.world.frontmostApplication = pid;
}

std::optional<ProcessId> SimulatedDesktop::focusedApplication() {
  std::lock_guard lock(model_.mutex);
  return model_.world.focusedApplication;
}

ElementId SimulatedDesktop::focusedElement() {
  std::lock_guard lock(model_.mutex);
  return model_.world.focusedElement();
}

void SimulatedDesktop::moveFocusAt(Duration uptime, const FocusTarget& target) {
  const Duration now = time_.clock().uptime();
  moveFocusAfter(uptime > now ? uptime - now : Duration::zero(), target);
}

void SimulatedDesktop::moveFocusAfter(Duration delay, const FocusTarget& target) {
  {
    std::lock_guard lock(model_.mutex);
    requireFocusTarget(target);
  }
  DesktopModel& model = model_;
  queue_->asyncAfter(delay, [&model, target] {
    std::lock_guard lock(model.mutex);
    model.world.applyFocus(target);
  });
}

void SimulatedDesktop::moveFocusAfterSystemWideReads(const std::string& attribute, int reads,
                                                     const FocusTarget& target) {
  std::lock_guard lock(model_.mutex);
  requireFocusTarget(target);
  if (reads <= 0) {
    model_.world.applyFocus(target);
    return;
  }
  model_.world.readTriggers.push_back(DesktopWorld::ReadTrigger{attribute, reads, target});
}

void SimulatedDesktop::moveFocusOnPaste(const FocusTarget& target) {
  std::lock_guard lock(model_.mutex);
  requireFocusTarget(target);
  model_.world.pasteTriggers.push_back(target);
}

void SimulatedDesktop::moveFocusOnPasteboardWrite(const FocusTarget& target) {
  std::lock_guard lock(model_.mutex);
  requireFocusTarget(target);
  model_.world.pasteboardWriteTriggers.push_back(target);
}

void SimulatedDesktop::moveFocusAfterAttributeReads(const std::string& attribute, int reads,
                                                    const FocusTarget& target) {
  std::lock_guard lock(model_.mutex);
  requireFocusTarget(target);
  model_.world.elementReadTriggers.push_back(DesktopWorld::ReadTrigger{attribute, reads, target});
}

// ---- pasteboard ----

void SimulatedDesktop::simulateUserCopy(const std::string& text) {
  std::lock_guard lock(model_.mutex);
  auto& pasteboard = model_.world.pasteboard;
  ++pasteboard.changeCount;
  pasteboard.text = text;
  pasteboard.heldByHost = false;
}

void SimulatedDesktop::setPasteboardSetStringFails(bool fails) {
  std::lock_guard lock(model_.mutex);
  model_.world.pasteboard.setStringFails = fails;
}

std::optional<std::string> SimulatedDesktop::pasteboardText() {
  std::lock_guard lock(model_.mutex);
  return model_.world.pasteboard.text;
}

std::int64_t SimulatedDesktop::pasteboardChangeCount() {
  std::lock_guard lock(model_.mutex);
  return model_.world.pasteboard.changeCount;
}

void SimulatedDesktop::setPasteboard(std::optional<std::string> text, std::int64_t changeCount) {
  std::lock_guard lock(model_.mutex);
  auto& pasteboard = model_.world.pasteboard;
  pasteboard.text = std::move(text);
  pasteboard.changeCount = changeCount;
  pasteboard.heldByHost = false;
}

// ---- events ----

void SimulatedDesktop::setEventCreationFails(bool fails) {
  std::lock_guard lock(model_.mutex);
  model_.world.eventCreationFails = fails;
}

void SimulatedDesktop::limitEventCreations(std::optional<int> count) {
  std::lock_guard lock(model_.mutex);
  model_.world.eventCreationsLeft = count;
}

std::vector<PostedEvent> SimulatedDesktop::postedEvents() {
  std::lock_guard lock(model_.mutex);
  return {model_.world.postedEvents.begin(), model_.world.postedEvents.end()};
}

void SimulatedDesktop::clearPostedEvents() {
  std::lock_guard lock(model_.mutex);
  model_.world.postedEvents.clear();
}

ScreenPoint SimulatedDesktop::pointer() {
  std::lock_guard lock(model_.mutex);
  return model_.world.pointer;
}

void SimulatedDesktop::setPointer(ScreenPoint location) {
  std::lock_guard lock(model_.mutex);
  model_.world.pointer = location;
}

void SimulatedDesktop::setProcessTrusted(bool trusted) {
  std::lock_guard lock(model_.mutex);
  model_.world.trusted = trusted;
}

DesktopCounters SimulatedDesktop::counters() {
  std::lock_guard lock(model_.mutex);
  return model_.world.counters;
}

void SimulatedDesktop::resetCounters() {
  std::lock_guard lock(model_.mutex);
  model_.world.counters = DesktopCounters{};
}

void SimulatedDesktop::userEvent(const UserEvent& event) {
  SimulatedInputEvent tapped(event.type, event.location);
  tapped.setFlags(event.flags);
  tapped.setIntegerField(EventField::keyboardEventKeycode, event.keyCode);
  tapped.setIntegerField(EventField::eventTargetUnixProcessID, event.targetPid);
  tapped.setIntegerField(EventField::mouseEventClickState, event.clickState);
  tapped.setIntegerField(EventField::eventSourceUserData, event.mark);
  std::lock_guard lock(model_.mutex);
  if (event.type != EventType::keyDown && event.type != EventType::keyUp) {
    model_.world.pointer = event.location;
  }
  model_.world.deliverToTaps(tapped);
  applyKeystroke(model_, tapped);
}

void SimulatedDesktop::userKeyDown(std::uint16_t keyCode, EventFlags flags, ProcessId targetPid) {
  UserEvent event;
  event.keyCode = keyCode;
  event.flags = flags;
  event.targetPid = targetPid;
  userEvent(event);
}

void SimulatedDesktop::afterDelay(Duration delay,
                                  std::function<void(SimulatedDesktop&)> action) {
  queue_->asyncAfter(delay, [this, action = std::move(action)] { action(*this); });
}

void SimulatedDesktop::disableEventTaps(std::uint32_t notice) {
  std::lock_guard lock(model_.mutex);
  model_.world.disableTaps(notice);
}

void SimulatedDesktop::setEventTapRefused(bool refused) {
  std::lock_guard lock(model_.mutex);
  model_.world.eventTapRefused = refused;
}

std::uint32_t SimulatedDesktop::windowNumber(ElementId window) {
  std::lock_guard lock(model_.mutex);
  const ElementState& state = requireElement(window);
  if (state.kind != ElementKind::window) throw std::invalid_argument("not a window");
  return state.windowNumber;
}

std::uint32_t SimulatedDesktop::addOverlayWindow(ProcessId pid, std::int64_t layer) {
  std::lock_guard lock(model_.mutex);
  DesktopWorld& world = model_.world;
  if (!world.processes.contains(pid)) throw std::invalid_argument("no such process");
  const std::uint32_t number = world.nextWindowNumber++;
  world.overlays.insert(world.overlays.begin(), {pid, number, layer});
  return number;
}

void SimulatedDesktop::removeOverlayWindow(std::uint32_t number) {
  std::lock_guard lock(model_.mutex);
  std::erase_if(model_.world.overlays,
                [number](const DesktopWorld::OverlayWindow& window) { return window.number == number; });
}

void SimulatedDesktop::setWindowListFails(bool fails) {
  std::lock_guard lock(model_.mutex);
  model_.world.windowListFails = fails;
}

void SimulatedDesktop::setCopyBehaviour(ProcessId pid, CopyBehaviour behaviour) {
  std::lock_guard lock(model_.mutex);
  ApplicationState* app = model_.world.application(pid);
  if (app == nullptr) throw std::invalid_argument("no such application");
  app->copy = behaviour;
}

std::size_t SimulatedDesktop::liveEventTaps() {
  std::lock_guard lock(model_.mutex);
  return model_.world.eventTaps.size();
}

}  // namespace orvix::platform::simulated
