#include "platform/simulated/desktop/simulated_input_events.h"

#include "platform/simulated/desktop/simulated_event_tap.h"

namespace orvix::platform::simulated {

namespace {

constexpr std::uint16_t kKeyCodeV = 9;
constexpr std::uint16_t kKeyCodeReturn = 36;
constexpr EventFlags kPasteBlockingFlags = kEventFlagControl | kEventFlagOption;

class SimulatedEventSource final : public InputEventSource {};

bool isPasteKeystroke(const InputEvent& event) {
  return event.type() == EventType::keyDown &&
         event.integerField(EventField::keyboardEventKeycode) == kKeyCodeV &&
         (event.flags() & kEventFlagCommand) != 0 && (event.flags() & kPasteBlockingFlags) == 0;
}

bool isReturnKeystroke(const InputEvent& event) {
  return event.type() == EventType::keyDown &&
         event.integerField(EventField::keyboardEventKeycode) == kKeyCodeReturn &&
         (event.flags() & (kEventFlagCommand | kPasteBlockingFlags)) == 0;
}

bool movesPointer(EventType type) {
  return type == EventType::mouseMoved || type == EventType::leftMouseDown ||
         type == EventType::leftMouseUp;
}

}  // namespace

std::int64_t SimulatedInputEvent::integerField(EventField field) const {
  const auto it = fields_.find(field);
  return it == fields_.end() ? 0 : it->second;
}

void SimulatedInputEvent::setIntegerField(EventField field, std::int64_t value) {
  fields_[field] = value;
}

bool SimulatedInputEvents::mayCreate() {
  DesktopWorld& world = model_.world;
  ++world.counters.eventsCreated;
  if (world.eventCreationFails) return false;
  if (world.eventCreationsLeft) {
    if (*world.eventCreationsLeft <= 0) return false;
    --*world.eventCreationsLeft;
  }
  return true;
}

std::unique_ptr<InputEventSource> SimulatedInputEvents::createSource(EventSourceState) {
  std::lock_guard lock(model_.mutex);
  if (!mayCreate()) return nullptr;
  return std::make_unique<SimulatedEventSource>();
}

std::unique_ptr<InputEvent> SimulatedInputEvents::createEvent(const InputEventSource*) {
  std::lock_guard lock(model_.mutex);
  if (!mayCreate()) return nullptr;
  return std::make_unique<SimulatedInputEvent>(EventType::null, model_.world.pointer);
}

std::unique_ptr<InputEvent> SimulatedInputEvents::createKeyboardEvent(const InputEventSource*,
                                                                      std::uint16_t keyCode,
                                                                      bool keyDown) {
  std::lock_guard lock(model_.mutex);
  if (!mayCreate()) return nullptr;
  auto event = std::make_unique<SimulatedInputEvent>(
      keyDown ? EventType::keyDown : EventType::keyUp, model_.world.pointer);
  event->setIntegerField(EventField::keyboardEventKeycode, keyCode);
  return event;
}

std::unique_ptr<InputEvent> SimulatedInputEvents::createMouseEvent(const InputEventSource*,
                                                                   EventType type,
                                                                   ScreenPoint location,
                                                                   MouseButton) {
  std::lock_guard lock(model_.mutex);
  if (!mayCreate()) return nullptr;
  return std::make_unique<SimulatedInputEvent>(type, location);
}

std::unique_ptr<InputEvent> SimulatedInputEvents::createScrollWheelEvent(const InputEventSource*,
                                                                         ScrollUnit,
                                                                         std::int32_t wheel1) {
  std::lock_guard lock(model_.mutex);
  if (!mayCreate()) return nullptr;
  auto event = std::make_unique<SimulatedInputEvent>(EventType::scrollWheel, model_.world.pointer);
  event->setScrollDelta(wheel1);
  return event;
}

void SimulatedInputEvents::post(EventTapLocation tap, const InputEvent& event) {
  std::optional<DesktopWorld::PasteDelivery> delivery;
  std::function<void(Duration, Task)> schedule;
  {
    std::lock_guard lock(model_.mutex);
    DesktopWorld& world = model_.world;
    ++world.counters.eventsPosted;
    PostedEvent posted;
    posted.tap = tap;
    posted.type = event.type();
    posted.keyCode = event.integerField(EventField::keyboardEventKeycode);
    posted.flags = event.flags();
    posted.userData = event.integerField(EventField::eventSourceUserData);
    posted.location = event.location();
    if (const auto* own = dynamic_cast<const SimulatedInputEvent*>(&event)) {
      posted.scrollDelta = own->scrollDelta();
      world.deliverToTaps(*own);
    }
    world.recordPost(posted);
    if (movesPointer(event.type())) world.pointer = event.location();
    if (event.type() == EventType::leftMouseDown) world.clickAt(event.location());
    if (isReturnKeystroke(event)) world.returnKeystroke();
    applyKeystroke(model_, event);
    if (isPasteKeystroke(event)) {
      delivery = world.pasteKeystroke();
      if (delivery && delivery->latency <= Duration::zero()) {
        world.applyPaste(delivery->element, delivery->text);
        delivery.reset();
      }
    }
    schedule = model_.schedule;
  }
  // A late paste lands from the simulator's queue, outside the lock.
  if (delivery && schedule) {
    DesktopModel& model = model_;
    schedule(delivery->latency,
             [&model, element = delivery->element, text = std::move(delivery->text)] {
               std::lock_guard lock(model.mutex);
               model.world.applyPaste(element, text);
             });
  }
}

std::shared_ptr<EventTap> SimulatedInputEvents::createListenOnlySessionTap(
    EventMask mask, EventTapCallback callback) {
  std::lock_guard lock(model_.mutex);
  DesktopWorld& world = model_.world;
  ++world.counters.eventTapsCreated;
  if (!world.trusted || world.eventTapRefused) return nullptr;
  return std::make_shared<SimulatedEventTap>(model_, mask, std::move(callback));
}

}  // namespace orvix::platform::simulated
