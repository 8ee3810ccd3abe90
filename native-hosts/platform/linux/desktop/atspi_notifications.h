#pragma once

#include <span>
#include <string_view>

namespace orvix::platform::linux_desktop {

// One kind of AT-SPI event that stands for an accessibility notification.
struct AtspiEventMatch {
  // What the listener registers with libatspi ("category:name" or "category:name:detail").
  // Notifications that share events register the same type, so libatspi hands each event over
  // once, not once per notification.
  std::string_view registeredType = {};
  // The detail the event must carry on top ("add" of children-changed:add); empty: any.
  std::string_view detail = {};
  // A state change counts only when the state was turned on (detail1 is 1).
  bool onlyWhenTurnedOn = false;
  // The notification concerns the child the event names (any_data), not the event's source.
  bool aboutChild = false;
};

// The events that stand for `notification`; empty for one AT-SPI has no event for.
std::span<const AtspiEventMatch> atspiEventsFor(std::string_view notification);

// Whether an event of type `received` (e.g. "object:children-changed:add") is one `match` takes.
bool eventTypeMatches(const AtspiEventMatch& match, std::string_view received);

}  // namespace orvix::platform::linux_desktop
