#include <algorithm>

#include "platform/simulated/desktop/desktop_world.h"
#include "platform/simulated/desktop/element_kinds.h"

// What the simulated applications do on their own: announce changes to observers, take the
// front, grow and lose elements, and react to clicks and Return the way an agent's composer
// does.

namespace orvix::platform::simulated {

void DesktopWorld::notify(ProcessId pid, std::string_view notification, ElementId element) {
  for (auto& [id, observer] : observers) {
    if (observer.pid != pid || observer.loop == nullptr) continue;
    const bool wanted =
        std::any_of(observer.registrations.begin(), observer.registrations.end(),
                    [&](const auto& registration) { return registration.first.second == notification; });
    if (!wanted) continue;
    // Posting only queues the task: the loop never calls back into the world from post().
    observer.loop->post([deliver = observer.deliver, element, name = std::string(notification)] {
      deliver(element, name);
    });
  }
}

void DesktopWorld::focusWithinApplication(ApplicationState& app, ElementId id) {
  const ElementId window = windowOf(id);
  if (window != kNoElement && app.focusedWindow != window) {
    app.focusedWindow = window;
    notify(app.pid, "AXFocusedWindowChanged", window);
  }
  if (app.focusedElement != id) {
    app.focusedElement = id;
    notify(app.pid, "AXFocusedUIElementChanged", id);
  }
}

void DesktopWorld::bringToFront(ApplicationState& app) {
  app.hidden = false;
  focusedApplication = app.pid;
  frontmostApplication = app.pid;
  raiseWindows(app.pid, app.focusedWindow);
}

void DesktopWorld::attach(ElementId id) {
  ElementState* state = element(id);
  if (state == nullptr || state->present) return;
  state->present = true;
  if (ElementState* parent = element(state->parent)) parent->children.push_back(id);
  if (ApplicationState* app = applicationOwning(id)) {
    notify(app->pid, state->kind == ElementKind::window ? "AXWindowCreated" : "AXCreated", id);
    notify(app->pid, "AXLayoutChanged", id);
  }
}

void DesktopWorld::detach(ElementId id) {
  ElementState* state = element(id);
  if (state == nullptr || !state->present) return;
  ApplicationState* app = applicationOwning(id);
  state->present = false;
  if (ElementState* parent = element(state->parent)) std::erase(parent->children, id);
  if (app == nullptr) return;
  if (app->focusedElement == id) {
    app->focusedElement = kNoElement;
    notify(app->pid, "AXFocusedUIElementChanged", kNoElement);
  }
  notify(app->pid, "AXLayoutChanged", app->element);
}

void DesktopWorld::clickAt(ScreenPoint point) {
  if (!frontmostApplication) return;
  ApplicationState* app = application(*frontmostApplication);
  if (app == nullptr || app->terminated) return;
  ElementId hit = kNoElement;
  for (const auto& [id, state] : elements) {
    if (state.pid != app->pid || !elementAlive(state) || !holdsText(state.kind)) continue;
    const auto position = state.attributes.find("AXPosition");
    const auto size = state.attributes.find("AXSize");
    if (position == state.attributes.end() || size == state.attributes.end()) continue;
    const auto* origin = std::get_if<AXPoint>(&position->second);
    const auto* extent = std::get_if<AXSize>(&size->second);
    if (origin == nullptr || extent == nullptr) continue;
    if (point.x >= origin->x && point.x < origin->x + extent->width && point.y >= origin->y &&
        point.y < origin->y + extent->height) {
      hit = id;  // later elements lie above earlier ones
    }
  }
  if (hit != kNoElement && applicationOwning(hit) == app) focusWithinApplication(*app, hit);
}

void DesktopWorld::returnKeystroke() {
  const ElementId id = focusedElement();
  ElementState* state = element(id);
  if (state == nullptr || !elementAlive(*state)) return;
  switch (state->onReturn) {
    case ReturnBehaviour::none:
      return;
    case ReturnBehaviour::clear:
      state->value = "";
      state->selectedRange = TextRange{0, 0};
      if (ApplicationState* app = applicationOwning(id)) {
        notify(app->pid, "AXValueChanged", id);
      }
      return;
    case ReturnBehaviour::remove:
      detach(id);
      return;
  }
}

}  // namespace orvix::platform::simulated
