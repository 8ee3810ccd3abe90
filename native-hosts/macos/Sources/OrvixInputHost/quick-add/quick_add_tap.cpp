// The listen-only event tap and the thread that carries it.

#include <chrono>

#include "OrvixInputHost/delivery/key_synthesis.h"
#include "OrvixInputHost/quick-add/quick_add_state.h"

namespace orvix::input_host {

namespace {

// How long the tap thread runs its loop before it looks again whether it should still be
// running; stopping the tap also stops the loop, so this bounds only a missed stop.
constexpr Duration tapThreadSlice = std::chrono::seconds(1);

constexpr platform::EventMask tappedEventMask =
    platform::eventMaskBit(platform::EventType::keyDown) |
    platform::eventMaskBit(platform::EventType::leftMouseDown) |
    platform::eventMaskBit(platform::EventType::leftMouseUp);

bool isTapDisabledNotice(std::uint32_t type) {
  return type == platform::kEventTapDisabledByTimeout ||
         type == platform::kEventTapDisabledByUserInput;
}

}  // namespace

QuickAdd::~QuickAdd() {
  {
    std::lock_guard lock(quickAddLock_);
    enabled_ = false;
  }
  stopTap();
  if (tapThread_) tapThread_->join();
}

void QuickAdd::startObservation() {
  std::uint64_t epoch = 0;
  {
    std::lock_guard lock(quickAddLock_);
    if (!enabled_ || !trusted_.load() || tap_ || observerStarting_) return;
    observerStarting_ = true;
    epoch = tapEpoch_;
  }
  // An earlier tap thread has been told to stop (its tap was taken and its loop stopped), or
  // ended on its own: waiting for it is short.
  if (tapThread_) tapThread_->join();
  tapThread_ =
      time_.startThread("quick-add-event-tap", [this, epoch] { runTapThread(epoch); });
}

void QuickAdd::runTapThread(std::uint64_t epoch) {
  auto tap = inputEvents_.createListenOnlySessionTap(
      tappedEventMask,
      [this](std::uint32_t type, const platform::InputEvent& event) { onTappedEvent(type, event); });
  if (!tap) {
    // Quick-add stays configured and observes nothing; the next configure or permission
    // refresh tries again.
    std::lock_guard lock(quickAddLock_);
    if (tapEpoch_ == epoch) observerStarting_ = false;
    return;
  }
  std::shared_ptr<RunLoop> loop = time_.makeRunLoop("quick-add-event-tap");
  bool keep = false;
  {
    std::lock_guard lock(quickAddLock_);
    // Stopped while starting: a later start owns the state now, even when quick-add was
    // switched on again meanwhile, so this thread leaves everything to it.
    if (tapEpoch_ == epoch) observerStarting_ = false;
    keep = tapEpoch_ == epoch && enabled_ && trusted_.load() && !tap_;
    if (keep) {
      tap_ = tap;
      tapLoop_ = loop;
    }
  }
  if (!keep) {
    tap->invalidate();
    return;
  }
  tap->addRunLoopSource(*loop);
  tap->setEnabled(true);
  for (;;) {
    {
      std::lock_guard lock(quickAddLock_);
      if (tap_ != tap || !enabled_ || !trusted_.load()) break;
    }
    loop->runFor(tapThreadSlice);
  }
  // The stopping side invalidated it already; once more keeps a tap that outlived a missed stop
  // from delivering into a loop that is going away.
  tap->invalidate();
}

void QuickAdd::stopTap() {
  std::shared_ptr<platform::EventTap> tap;
  std::shared_ptr<RunLoop> loop;
  {
    std::lock_guard lock(quickAddLock_);
    tap = std::move(tap_);
    loop = std::move(tapLoop_);
    tap_.reset();
    tapLoop_.reset();
    observerStarting_ = false;
    ++tapEpoch_;
  }
  if (tap) {
    tap->setEnabled(false);
    tap->invalidate();
  }
  if (loop) loop->stop();
}

void QuickAdd::onTappedEvent(std::uint32_t type, const platform::InputEvent& event) {
  handleEvent(type, event);
  if (!isTapDisabledNotice(type)) return;
  // The system switched the tap off (a slow callback, or user input): on again at once.
  std::shared_ptr<platform::EventTap> tap;
  {
    std::lock_guard lock(quickAddLock_);
    tap = tap_;
  }
  if (tap) tap->setEnabled(true);
}

}  // namespace orvix::input_host
