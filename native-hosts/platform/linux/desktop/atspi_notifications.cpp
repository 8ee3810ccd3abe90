#include "platform/linux/desktop/atspi_notifications.h"

#include <array>

namespace orvix::platform::linux_desktop {

namespace {

constexpr std::string_view kChildrenChanged = "object:children-changed";

struct Notification {
  std::string_view name;
  std::span<const AtspiEventMatch> events;
};

constexpr AtspiEventMatch kWindowCreated[] = {{.registeredType = "window:create"}};
constexpr AtspiEventMatch kFocusedWindowChanged[] = {{.registeredType = "window:activate"}};
constexpr AtspiEventMatch kFocusedElementChanged[] = {
    {.registeredType = "object:state-changed:focused", .onlyWhenTurnedOn = true}};
constexpr AtspiEventMatch kCreated[] = {
    {.registeredType = kChildrenChanged, .detail = "add", .aboutChild = true}};
// GTK sends bounds-changed from every text entry many times a second while idle (its caret
// redraws), so only a change of the element tree counts as a new layout.
constexpr AtspiEventMatch kLayoutChanged[] = {{.registeredType = kChildrenChanged}};
constexpr AtspiEventMatch kDestroyed[] = {
    {.registeredType = kChildrenChanged, .detail = "remove", .aboutChild = true},
    {.registeredType = "object:state-changed:defunct", .onlyWhenTurnedOn = true}};
constexpr AtspiEventMatch kValueChanged[] = {{.registeredType = "object:text-changed"}};
constexpr AtspiEventMatch kSelectedTextChanged[] = {
    {.registeredType = "object:text-selection-changed"},
    {.registeredType = "object:text-caret-moved"}};
constexpr AtspiEventMatch kTitleChanged[] = {
    {.registeredType = "object:property-change:accessible-name"}};

constexpr std::array<Notification, 9> kNotifications{{
    {"AXWindowCreated", kWindowCreated},
    {"AXFocusedWindowChanged", kFocusedWindowChanged},
    {"AXFocusedUIElementChanged", kFocusedElementChanged},
    {"AXCreated", kCreated},
    {"AXLayoutChanged", kLayoutChanged},
    {"AXUIElementDestroyed", kDestroyed},
    {"AXValueChanged", kValueChanged},
    {"AXSelectedTextChanged", kSelectedTextChanged},
    {"AXTitleChanged", kTitleChanged},
}};

}  // namespace

std::span<const AtspiEventMatch> atspiEventsFor(std::string_view notification) {
  for (const auto& known : kNotifications) {
    if (known.name == notification) return known.events;
  }
  return {};
}

bool eventTypeMatches(const AtspiEventMatch& match, std::string_view received) {
  if (!received.starts_with(match.registeredType)) return false;
  std::string_view rest = received.substr(match.registeredType.size());
  if (!rest.empty() && rest.front() != ':') return false;  // "window:create" is no "window:created"
  if (!rest.empty()) rest.remove_prefix(1);
  if (match.detail.empty()) return true;
  // A detail may be followed by more of its own (":add:system" from some toolkits).
  return rest.starts_with(match.detail) &&
         (rest.size() == match.detail.size() || rest[match.detail.size()] == ':');
}

}  // namespace orvix::platform::linux_desktop
