#include "platform/simulated/desktop/simulated_accessibility.h"

#include <algorithm>
#include <array>

#include "platform/simulated/desktop/element_handle.h"
#include "platform/simulated/desktop/element_kinds.h"
#include "platform/simulated/desktop/simulated_observer.h"
#include "platform/simulated/desktop/utf16_text.h"

namespace orvix::platform::simulated {

namespace {

using Kind = ElementHandle::Kind;

// The simulator's own handle behind `element`, or null for a handle of something else (which
// the real interface would reject as an illegal argument).
const ElementHandle* ownHandle(const AXElement& element, const void* desktop) {
  const auto* handle = dynamic_cast<const ElementHandle*>(&element.object());
  return handle != nullptr && handle->desktop() == desktop ? handle : nullptr;
}

AXAttributeResult failed(AXError error) { return AXAttributeResult{error, std::monostate{}}; }

template <typename T>
AXAttributeResult valueOrNoValue(const std::optional<T>& value) {
  if (!value) return failed(AXError::noValue);
  return AXAttributeResult{AXError::success, *value};
}

// Names under which applications report an element's child list.
constexpr std::array<std::string_view, 4> kChildListAttributes{
    "AXChildren", "AXContents", "AXVisibleChildren", "AXChildrenInNavigationOrder"};

bool isChildList(std::string_view attribute) {
  return std::find(kChildListAttributes.begin(), kChildListAttributes.end(), attribute) !=
         kChildListAttributes.end();
}

// The text as the element shows it to the accessibility interface.
std::string displayedText(const ElementState& state) {
  std::string text = state.value.value_or("");
  switch (state.shows) {
    case DraftDisplay::nonBreakingSpaces: {
      std::string shown;
      for (const char c : text) shown += c == ' ' ? std::string("\u00A0") : std::string(1, c);
      return shown;
    }
    case DraftDisplay::trailingNewline:
      return text + "\n";
    default:
      return text;
  }
}

}  // namespace

bool SimulatedAccessibility::charge(const AXElement& element) {
  Duration cost{0};
  Duration timeout{0};
  {
    std::lock_guard lock(model_.mutex);
    DesktopWorld& world = model_.world;
    timeout = world.globalMessagingTimeout;
    const ElementHandle* handle = ownHandle(element, &model_);
    if (handle == nullptr || handle->kind() != Kind::element) return true;
    const ElementState* state = world.element(handle->number());
    if (state == nullptr) return true;
    cost = state->callCost;
    if (const ApplicationState* app = world.applicationOwning(state->id)) cost += app->callCost;
    timeout = state->messagingTimeout.value_or(timeout);
  }
  if (cost <= Duration::zero()) return true;
  // An application slower than the caller's patience answers nothing after the timeout.
  if (model_.spend) model_.spend(std::min(cost, timeout));
  return cost <= timeout;
}

namespace {

}  // namespace

AXElement SimulatedAccessibility::systemWideElement() {
  return ElementHandle::make(&model_, Kind::systemWide, 0);
}

AXElement SimulatedAccessibility::applicationElement(ProcessId pid) {
  std::lock_guard lock(model_.mutex);
  if (const ApplicationState* app = model_.world.application(pid))
    return elementHandle(app->element);
  return ElementHandle::make(&model_, Kind::processWithoutApplication,
                             static_cast<std::uint32_t>(pid));
}

AXElement SimulatedAccessibility::handleFor(ElementId id) const { return elementHandle(id); }

AXElement SimulatedAccessibility::elementHandle(ElementId id) const {
  return ElementHandle::make(&model_, Kind::element, id);
}

AXAttributeResult SimulatedAccessibility::elementOrNoValue(ElementId id) const {
  if (id == kNoElement) return failed(AXError::noValue);
  return AXAttributeResult{AXError::success, elementHandle(id)};
}

AXAttributeResult SimulatedAccessibility::copyAttributeValue(const AXElement& element,
                                                             std::string_view attribute) {
  if (!charge(element)) return failed(AXError::cannotComplete);
  std::lock_guard lock(model_.mutex);
  DesktopWorld& world = model_.world;
  ++world.counters.attributeReads[std::string(attribute)];
  const ElementHandle* handle = ownHandle(element, &model_);
  if (handle == nullptr) return failed(AXError::illegalArgument);
  switch (handle->kind()) {
    case Kind::systemWide: {
      AXAttributeResult result = systemWideAttribute(world, attribute);
      // The focus may move right after this read: the answer above is already taken.
      world.noteSystemWideRead(attribute);
      return result;
    }
    case Kind::processWithoutApplication:
      return failed(AXError::cannotComplete);
    case Kind::element:
      break;
  }
  ElementState* state = world.element(handle->number());
  if (state == nullptr || !world.elementAlive(*state)) return failed(AXError::invalidUIElement);
  AXAttributeResult result = elementAttribute(world, *state, attribute);
  // The focus may move right after this read, as after a system-wide one.
  for (auto it = world.elementReadTriggers.begin(); it != world.elementReadTriggers.end();) {
    if (it->attribute == attribute && --it->remainingReads <= 0) {
      const FocusTarget target = it->target;
      it = world.elementReadTriggers.erase(it);
      world.applyFocus(target);
    } else {
      ++it;
    }
  }
  return result;
}

AXAttributeResult SimulatedAccessibility::systemWideAttribute(DesktopWorld& world,
                                                              std::string_view attribute) {
  if (const auto error = world.systemWideErrors.find(attribute);
      error != world.systemWideErrors.end()) {
    return failed(error->second);
  }
  if (const auto value = world.systemWideValues.find(attribute);
      value != world.systemWideValues.end()) {
    return AXAttributeResult{AXError::success, value->second};
  }
  if (attribute == "AXRole")
    return AXAttributeResult{AXError::success, std::string("AXSystemWide")};
  if (attribute == "AXFocusedApplication") {
    if (!world.focusedApplication) return failed(AXError::noValue);
    const ApplicationState* app = world.application(*world.focusedApplication);
    if (app == nullptr || app->terminated) return failed(AXError::noValue);
    return elementOrNoValue(app->element);
  }
  if (attribute == "AXFocusedUIElement") return elementOrNoValue(world.focusedElement());
  return failed(AXError::attributeUnsupported);
}

AXAttributeResult SimulatedAccessibility::elementAttribute(DesktopWorld& world, ElementState& state,
                                                           std::string_view attribute) {
  if (const auto error = state.errors.find(attribute); error != state.errors.end()) {
    return failed(error->second);
  }
  if (const auto stored = state.attributes.find(attribute); stored != state.attributes.end()) {
    return AXAttributeResult{AXError::success, stored->second};
  }
  if (attribute == "AXRole") return AXAttributeResult{AXError::success, state.role};
  if (attribute == "AXSubrole") {
    if (!state.subrole) return failed(AXError::attributeUnsupported);
    return AXAttributeResult{AXError::success, *state.subrole};
  }
  if (attribute == "AXTitle") return valueOrNoValue(state.title);
  if (attribute == "AXParent") return elementOrNoValue(state.parent);
  if (isChildList(attribute)) {
    if (attribute != state.childrenAttribute && attribute != "AXChildren") {
      return failed(AXError::attributeUnsupported);
    }
    std::vector<AXElement> children;
    const ApplicationState* owner = world.applicationOwning(state.id);
    // An application that builds its tree only on request shows its windows and nothing inside.
    const bool built = state.kind == ElementKind::application || owner == nullptr ||
                       owner->gate == AccessibilityGate::none || owner->gateOpen;
    if (attribute == state.childrenAttribute && built) {
      for (const ElementId child : state.children) children.push_back(elementHandle(child));
    }
    return AXAttributeResult{AXError::success, std::move(children)};
  }
  if (attribute == "AXFocused") {
    return AXAttributeResult{AXError::success, world.focusedElement() == state.id};
  }

  if (state.kind == ElementKind::application) {
    const ApplicationState* app = world.applicationOwning(state.id);
    if (app == nullptr) return failed(AXError::cannotComplete);
    if (attribute == "AXFocusedUIElement") return elementOrNoValue(app->focusedElement);
    if (attribute == "AXFocusedWindow") return elementOrNoValue(app->focusedWindow);
    if (attribute == "AXMainWindow") return elementOrNoValue(app->mainWindow);
    if (attribute == "AXManualAccessibility" && app->gate == AccessibilityGate::manual) {
      return AXAttributeResult{AXError::success, app->gateOpen};
    }
    if (attribute == "AXEnhancedUserInterface" && app->gate == AccessibilityGate::enhanced) {
      return AXAttributeResult{AXError::success, app->gateOpen};
    }
    if (attribute == "AXWindows") {
      std::vector<AXElement> windows;
      for (const ElementId child : state.children) {
        const ElementState* window = world.element(child);
        if (window != nullptr && window->kind == ElementKind::window) {
          windows.push_back(elementHandle(child));
        }
      }
      return AXAttributeResult{AXError::success, std::move(windows)};
    }
    return failed(AXError::attributeUnsupported);
  }
  if (state.kind == ElementKind::window) {
    if (attribute == "AXMinimized") return AXAttributeResult{AXError::success, false};
    return failed(AXError::attributeUnsupported);
  }

  if (attribute == "AXWindow") return elementOrNoValue(world.windowOf(state.id));
  const bool textual = holdsText(state.kind) || state.value.has_value();
  if (!textual) return failed(AXError::attributeUnsupported);
  if (attribute == "AXValue") {
    if (state.shows == DraftDisplay::rangeOnly || state.shows == DraftDisplay::countOnly) {
      return failed(AXError::noValue);
    }
    if (!state.value) return failed(AXError::noValue);
    return AXAttributeResult{AXError::success, displayedText(state)};
  }
  if (attribute == "AXSelectedTextRange") return valueOrNoValue(state.selectedRange);
  if (attribute == "AXSelectedText") {
    if (!state.selectedRange) return failed(AXError::noValue);
    return AXAttributeResult{AXError::success,
                             selectedText(state.value.value_or(""), *state.selectedRange)};
  }
  if (attribute == "AXNumberOfCharacters") {
    return AXAttributeResult{AXError::success, static_cast<double>(utf16Units(displayedText(state)))};
  }
  return failed(AXError::attributeUnsupported);
}

AXAttributeResult SimulatedAccessibility::copyParameterizedAttributeValue(
    const AXElement& element, std::string_view attribute, const AXValue& parameter) {
  if (!charge(element)) return failed(AXError::cannotComplete);
  std::lock_guard lock(model_.mutex);
  DesktopWorld& world = model_.world;
  ++world.counters.parameterizedReads;
  const ElementHandle* handle = ownHandle(element, &model_);
  if (handle == nullptr) return failed(AXError::illegalArgument);
  if (handle->kind() != Kind::element) return failed(AXError::parameterizedAttributeUnsupported);
  const ElementState* state = world.element(handle->number());
  if (state == nullptr || !world.elementAlive(*state)) return failed(AXError::invalidUIElement);
  const bool textual = holdsText(state->kind) && state->shows != DraftDisplay::countOnly;
  if (!textual || (attribute != "AXStringForRange" && attribute != "AXAttributedStringForRange")) {
    return failed(AXError::parameterizedAttributeUnsupported);
  }
  const auto* range = std::get_if<TextRange>(&parameter);
  if (range == nullptr) return failed(AXError::illegalArgument);
  std::string text = selectedText(displayedText(*state), *range);
  if (attribute == "AXAttributedStringForRange") {
    return AXAttributeResult{AXError::success, AXAttributedString{std::move(text)}};
  }
  return AXAttributeResult{AXError::success, std::move(text)};
}

AXSettableResult SimulatedAccessibility::isAttributeSettable(const AXElement& element,
                                                             std::string_view attribute) {
  std::lock_guard lock(model_.mutex);
  DesktopWorld& world = model_.world;
  ++world.counters.settableQueries[std::string(attribute)];
  const ElementHandle* handle = ownHandle(element, &model_);
  if (handle == nullptr) return {AXError::illegalArgument, false};
  if (handle->kind() == Kind::systemWide) return {AXError::success, false};
  if (handle->kind() == Kind::processWithoutApplication) return {AXError::cannotComplete, false};
  const ElementState* state = world.element(handle->number());
  if (state == nullptr || !world.elementAlive(*state)) return {AXError::invalidUIElement, false};
  // An injected read failure fails the settable query too, except "no value": an empty
  // attribute can still be settable (a secure field withholds its value but takes one).
  if (const auto error = state->errors.find(attribute);
      error != state->errors.end() && error->second != AXError::noValue) {
    return {error->second, false};
  }
  return {AXError::success, state->settable.contains(attribute)};
}

AXError SimulatedAccessibility::setAttributeValue(const AXElement& element,
                                                  std::string_view attribute,
                                                  const AXValue& value) {
  if (!charge(element)) return AXError::cannotComplete;
  std::lock_guard lock(model_.mutex);
  DesktopWorld& world = model_.world;
  ++world.counters.attributeWrites[std::string(attribute)];
  const ElementHandle* handle = ownHandle(element, &model_);
  if (handle == nullptr) return AXError::illegalArgument;
  if (handle->kind() != Kind::element) return AXError::cannotComplete;
  ElementState* state = world.element(handle->number());
  if (state == nullptr || !world.elementAlive(*state)) return AXError::invalidUIElement;
  if (const auto error = state->errors.find(attribute); error != state->errors.end()) {
    return error->second;
  }
  if (state->kind == ElementKind::application) return setApplicationAttribute(*state, attribute, value);
  if (!state->settable.contains(attribute)) return AXError::attributeUnsupported;

  if (attribute == "AXValue") {
    const auto* text = std::get_if<std::string>(&value);
    if (text == nullptr) return AXError::illegalArgument;
    state->value = *text;
    state->selectedRange = TextRange{utf16Units(*text), 0};
    return AXError::success;
  }
  if (attribute == "AXSelectedTextRange") {
    const auto* range = std::get_if<TextRange>(&value);
    if (range == nullptr) return AXError::illegalArgument;
    state->selectedRange = *range;
    return AXError::success;
  }
  if (attribute == "AXFocused") {
    const auto* focused = std::get_if<bool>(&value);
    if (focused == nullptr) return AXError::illegalArgument;
    if (*focused && !state->ignoresFocusWrite) {
      if (ApplicationState* app = world.applicationOwning(state->id)) {
        world.applyFocus(FocusTarget{app->pid, kNoElement, state->id});
      }
    }
    return AXError::success;
  }
  // Any other settable attribute keeps what was written, as the application would.
  if (const auto stored = state->attributes.find(attribute);
      stored != state->attributes.end() && stored->second.index() != value.index()) {
    return AXError::illegalArgument;
  }
  state->attributes[std::string(attribute)] = value;
  return AXError::success;
}

AXError SimulatedAccessibility::setApplicationAttribute(ElementState& state,
                                                        std::string_view attribute,
                                                        const AXValue& value) {
  ApplicationState* app = model_.world.applicationOwning(state.id);
  if (app == nullptr) return AXError::cannotComplete;
  const bool manual = attribute == "AXManualAccessibility" && app->gate == AccessibilityGate::manual;
  const bool enhanced =
      attribute == "AXEnhancedUserInterface" && app->gate == AccessibilityGate::enhanced;
  if (!manual && !enhanced) return AXError::attributeUnsupported;
  const auto* on = std::get_if<bool>(&value);
  if (on == nullptr) return AXError::illegalArgument;
  const bool opened = *on && !app->gateOpen;
  app->gateOpen = *on;
  if (opened) model_.world.notify(app->pid, "AXLayoutChanged", app->element);
  return AXError::success;
}

AXError SimulatedAccessibility::performAction(const AXElement& element, std::string_view action) {
  if (!charge(element)) return AXError::cannotComplete;
  std::lock_guard lock(model_.mutex);
  DesktopWorld& world = model_.world;
  const ElementHandle* handle = ownHandle(element, &model_);
  if (handle == nullptr) return AXError::illegalArgument;
  if (handle->kind() != Kind::element) return AXError::actionUnsupported;
  const ElementState* state = world.element(handle->number());
  if (state == nullptr || !world.elementAlive(*state)) return AXError::invalidUIElement;
  ++world.counters.actions[std::string(action)];
  if (action == "AXRaise" && state->kind == ElementKind::window) {
    // The window comes to the top of its application: focused and main.
    if (ApplicationState* app = world.applicationOwning(state->id)) {
      if (app->focusedWindow != state->id) {
        app->focusedWindow = state->id;
        if (const ElementState* focused = world.element(app->focusedElement);
            focused != nullptr && world.windowOf(focused->id) != state->id) {
          app->focusedElement = kNoElement;
        }
        world.notify(app->pid, "AXFocusedWindowChanged", state->id);
      }
      app->mainWindow = state->id;
    }
    return AXError::success;
  }
  if (action == "AXPress" && (state->kind == ElementKind::button || state->kind == ElementKind::generic)) {
    return AXError::success;
  }
  return AXError::actionUnsupported;
}

AXProcessIdResult SimulatedAccessibility::processId(const AXElement& element) {
  std::lock_guard lock(model_.mutex);
  DesktopWorld& world = model_.world;
  ++world.counters.processIdReads;
  const ElementHandle* handle = ownHandle(element, &model_);
  if (handle == nullptr) return {AXError::illegalArgument, 0};
  switch (handle->kind()) {
    case Kind::systemWide:
      return {AXError::illegalArgument, 0};
    case Kind::processWithoutApplication:
      return {AXError::success, static_cast<ProcessId>(handle->number())};
    case Kind::element:
      break;
  }
  const ElementState* state = world.element(handle->number());
  if (state == nullptr || !world.elementAlive(*state)) return {AXError::invalidUIElement, 0};
  if (state->pidError) return {*state->pidError, 0};
  return {AXError::success, state->pid};
}

AXError SimulatedAccessibility::setMessagingTimeout(const AXElement& element, float seconds) {
  std::lock_guard lock(model_.mutex);
  DesktopWorld& world = model_.world;
  ++world.counters.messagingTimeoutsSet;
  const ElementHandle* handle = ownHandle(element, &model_);
  if (handle == nullptr || !(seconds >= 0)) return AXError::illegalArgument;
  // Whole microseconds: a float's 0.02 is not exactly 20 ms.
  const Duration timeout = std::chrono::round<std::chrono::microseconds>(
      std::chrono::duration<double>(seconds == 0 ? 6.0 : static_cast<double>(seconds)));
  if (handle->kind() == Kind::systemWide) {
    world.globalMessagingTimeout = timeout;
    return AXError::success;
  }
  if (handle->kind() != Kind::element) return AXError::success;
  ElementState* state = world.element(handle->number());
  if (state == nullptr || !world.elementAlive(*state)) return AXError::invalidUIElement;
  if (seconds == 0) {
    state->messagingTimeout.reset();
  } else {
    state->messagingTimeout = timeout;
  }
  return AXError::success;
}

AXObserverResult SimulatedAccessibility::createObserver(ProcessId pid, AXObserverCallback callback) {
  std::lock_guard lock(model_.mutex);
  if (!model_.world.processAlive(pid) || !callback) return {AXError::illegalArgument, nullptr};
  return {AXError::success, std::make_unique<SimulatedObserver>(model_, pid, std::move(callback))};
}

bool SimulatedAccessibility::isProcessTrusted() {
  std::lock_guard lock(model_.mutex);
  ++model_.world.counters.trustQueries;
  return model_.world.trusted;
}

}  // namespace orvix::platform::simulated
