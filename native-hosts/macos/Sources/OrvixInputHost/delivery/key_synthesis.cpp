#include "OrvixInputHost/delivery/key_synthesis.h"

namespace orvix::input_host {

using platform::EventField;
using platform::EventTapLocation;
using platform::EventType;

bool KeySynthesis::postKey(std::uint16_t keyCode, platform::EventFlags flags, bool quickAddCopy) {
  if (!quickAddCopy) quickAdd_.invalidate();
  auto down = events_.createKeyboardEvent(nullptr, keyCode, true);
  auto up = events_.createKeyboardEvent(nullptr, keyCode, false);
  if (!down || !up) return false;
  const std::int64_t mark =
      quickAddCopy ? quickAdd_.quickAddCopyEventMark() : quickAdd_.helperKeyEventMark();
  for (auto* event : {down.get(), up.get()}) {
    event->setFlags(flags);
    event->setIntegerField(EventField::eventSourceUserData, mark);
  }
  events_.post(EventTapLocation::hid, *down);
  events_.post(EventTapLocation::hid, *up);
  return true;
}

bool KeySynthesis::postLeftClick(std::optional<platform::ScreenPoint> point) {
  const auto source = events_.createSource(platform::EventSourceState::hidSystem);
  if (!source) return false;
  const auto probe = events_.createEvent(source.get());
  if (!probe) return false;
  const platform::ScreenPoint location = point.value_or(probe->location());
  auto down = events_.createMouseEvent(source.get(), EventType::leftMouseDown, location,
                                       platform::MouseButton::left);
  auto up = events_.createMouseEvent(source.get(), EventType::leftMouseUp, location,
                                     platform::MouseButton::left);
  if (!down || !up) return false;
  events_.post(EventTapLocation::hid, *down);
  events_.post(EventTapLocation::hid, *up);
  return true;
}

}  // namespace orvix::input_host
