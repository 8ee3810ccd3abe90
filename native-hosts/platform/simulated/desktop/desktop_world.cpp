#include "platform/simulated/desktop/desktop_world.h"

#include "platform/simulated/desktop/utf16_text.h"

namespace orvix::platform::simulated {

namespace {
// Bounds walks up the element tree so a corrupted parent link can never loop forever.
constexpr int kMaximumTreeDepth = 1024;
}  // namespace

ElementState* DesktopWorld::element(ElementId id) {
  const auto it = elements.find(id);
  return it == elements.end() ? nullptr : &it->second;
}

ApplicationState* DesktopWorld::application(ProcessId pid) {
  const auto it = applications.find(pid);
  return it == applications.end() ? nullptr : &it->second;
}

ApplicationState* DesktopWorld::applicationOwning(ElementId id) {
  for (int depth = 0; depth < kMaximumTreeDepth && id != kNoElement; ++depth) {
    const ElementState* current = element(id);
    if (current == nullptr) return nullptr;
    if (current->kind == ElementKind::application) {
      for (auto& [pid, app] : applications) {
        if (app.element == id) return &app;
      }
      return nullptr;
    }
    id = current->parent;
  }
  return nullptr;
}

ElementId DesktopWorld::windowOf(ElementId id) {
  const ElementState* start = element(id);
  if (start == nullptr) return kNoElement;
  id = start->parent;
  for (int depth = 0; depth < kMaximumTreeDepth && id != kNoElement; ++depth) {
    const ElementState* current = element(id);
    if (current == nullptr) return kNoElement;
    if (current->kind == ElementKind::window) return id;
    id = current->parent;
  }
  return kNoElement;
}

bool DesktopWorld::processAlive(ProcessId pid) const {
  const auto it = processes.find(pid);
  return it != processes.end() && it->second.alive;
}

bool DesktopWorld::elementAlive(const ElementState& state) const {
  return state.present && processAlive(state.pid);
}

ElementId DesktopWorld::focusedElement() {
  if (!focusedApplication) return kNoElement;
  const ApplicationState* app = application(*focusedApplication);
  if (app == nullptr || app->terminated) return kNoElement;
  const ElementState* state = element(app->focusedElement);
  return state != nullptr && state->present ? app->focusedElement : kNoElement;
}

void DesktopWorld::applyFocus(const FocusTarget& target) {
  focusedApplication = target.application;
  frontmostApplication = target.application;
  if (!target.application) return;
  ApplicationState* app = application(*target.application);
  if (app == nullptr) return;
  const ElementId window = target.window != kNoElement ? target.window : windowOf(target.element);
  if (app->focusedWindow != window) notify(app->pid, "AXFocusedWindowChanged", window);
  if (app->focusedElement != target.element) {
    notify(app->pid, "AXFocusedUIElementChanged", target.element);
  }
  app->focusedElement = target.element;
  app->focusedWindow = window;
  raiseWindows(app->pid, window);
}

void DesktopWorld::noteSystemWideRead(std::string_view attribute) {
  ++counters.systemWideReads[std::string(attribute)];
  // Fire in arming order; a fired trigger is removed before the next is looked at, so two
  // triggers on the same read apply one after the other.
  for (auto it = readTriggers.begin(); it != readTriggers.end();) {
    if (it->attribute == attribute && --it->remainingReads <= 0) {
      const FocusTarget target = it->target;
      it = readTriggers.erase(it);
      applyFocus(target);
    } else {
      ++it;
    }
  }
}

std::optional<DesktopWorld::PasteDelivery> DesktopWorld::pasteKeystroke() {
  std::optional<PasteDelivery> delivery;
  const ElementId target = focusedElement();
  const ElementState* state = element(target);
  if (state != nullptr && elementAlive(*state) && state->paste == PasteBehaviour::insertText &&
      pasteboard.text) {
    delivery = PasteDelivery{target, *pasteboard.text, state->pasteLatency};
  }
  if (!pasteTriggers.empty()) {
    const FocusTarget next = pasteTriggers.front();
    pasteTriggers.erase(pasteTriggers.begin());
    applyFocus(next);
  }
  return delivery;
}

void DesktopWorld::applyPaste(ElementId id, std::string_view text) {
  ElementState* state = element(id);
  if (state == nullptr || !elementAlive(*state)) return;
  const TextRange selection =
      state->selectedRange.value_or(TextRange{utf16Units(state->value.value_or("")), 0});
  TextEdit edit = replaceSelection(state->value.value_or(""), selection, text);
  state->value = std::move(edit.value);
  state->selectedRange = edit.caret;
}

void DesktopWorld::recordPost(const PostedEvent& event) {
  if (postedEvents.size() >= kMaximumRecordedEvents) postedEvents.pop_front();
  postedEvents.push_back(event);
}

void DesktopWorld::endProcess(ProcessId pid) {
  const auto it = processes.find(pid);
  if (it == processes.end() || !it->second.alive) return;
  it->second.alive = false;
  for (auto& [childPid, child] : processes) {
    if (child.alive && child.parent == pid) child.parent = 1;
  }
  if (ApplicationState* app = application(pid)) {
    app->terminated = true;
    if (focusedApplication == pid) focusedApplication.reset();
    if (frontmostApplication == pid) frontmostApplication.reset();
  }
}

}  // namespace orvix::platform::simulated
