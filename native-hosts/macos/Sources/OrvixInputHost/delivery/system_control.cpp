#include "OrvixInputHost/delivery/system_control.h"

#include "OrvixInputHost/delivery/input_host_settings.h"
#include "OrvixInputHost/delivery/json_shape.h"

namespace orvix::input_host {

namespace {

constexpr std::int64_t kMaximumDelta = 32767;

std::optional<std::int64_t> delta(const Json& command, std::string_view key) {
  const auto value = integralMember(command, key);
  if (!value || *value < -kMaximumDelta || *value > kMaximumDelta) return std::nullopt;
  return value;
}

}  // namespace

void SystemControl::execute(const Json& command) {
  if (!quickAdd_.responsibleAccessibilityTrusted()) return;
  const std::string* name = stringMember(command, "command");
  if (!name) return;

  if (*name == "pointer.move" && hasExactKeys(command, {"schemaVersion", "command", "deltaX", "deltaY"})) {
    const auto dx = delta(command, "deltaX");
    const auto dy = delta(command, "deltaY");
    if (dx && dy) movePointer(*dx, *dy);
  } else if (*name == "vertical.scroll" &&
             hasExactKeys(command, {"schemaVersion", "command", "deltaY"})) {
    if (const auto dy = delta(command, "deltaY")) scrollVertically(*dy);
  } else if (*name == "pointer.click" && hasExactKeys(command, {"schemaVersion", "command"})) {
    keys_.postLeftClick();
  } else if (*name == "arrow.key" &&
             hasExactKeys(command, {"schemaVersion", "command", "direction"})) {
    const std::string* direction = stringMember(command, "direction");
    if (!direction) return;
    if (*direction == "up") keys_.postKey(keyCodeUpArrow);
    if (*direction == "down") keys_.postKey(keyCodeDownArrow);
  }
}

void SystemControl::movePointer(std::int64_t deltaX, std::int64_t deltaY) {
  const auto probe = events_.createEvent(nullptr);
  if (!probe) return;
  const auto from = probe->location();
  const platform::ScreenPoint to{from.x + static_cast<double>(deltaX),
                                 from.y + static_cast<double>(deltaY)};
  const auto move = events_.createMouseEvent(nullptr, platform::EventType::mouseMoved, to,
                                             platform::MouseButton::left);
  if (move) events_.post(platform::EventTapLocation::hid, *move);
}

void SystemControl::scrollVertically(std::int64_t deltaY) {
  const auto scroll = events_.createScrollWheelEvent(nullptr, platform::ScrollUnit::pixel,
                                                     static_cast<std::int32_t>(deltaY));
  if (scroll) events_.post(platform::EventTapLocation::hid, *scroll);
}

}  // namespace orvix::input_host
