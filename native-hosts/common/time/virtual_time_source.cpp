#include "common/time/virtual_time_source.h"

#include "common/time/fail_fast.h"

namespace orvix {

namespace {

class VirtualSemaphore final : public Semaphore {
 public:
  VirtualSemaphore(detail::VirtualScheduler& scheduler, int initialCount)
      : scheduler_(scheduler), count_(initialCount) {}

  void signal() override {
    auto lock = scheduler_.lock();
    ++count_;
    scheduler_.notifyOne(waiters_);
  }

  void wait() override { acquire(std::nullopt); }

  bool waitFor(Duration timeout) override {
    return acquire(deadlineAfter(scheduler_.now(), timeout));
  }

 private:
  bool acquire(std::optional<Duration> deadline) {
    auto lock = scheduler_.lock();
    detail::Participant& me = scheduler_.self();
    while (count_ == 0) {
      if (deadline && scheduler_.now() >= *deadline) return false;
      scheduler_.wait(lock, me, &waiters_, deadline, std::nullopt, "waiting on a semaphore");
    }
    --count_;
    return true;
  }

  detail::VirtualScheduler& scheduler_;
  long count_;
  detail::WaitList waiters_;
};

class VirtualThread final : public NamedThread {
 public:
  VirtualThread(detail::VirtualScheduler& scheduler, std::string name, std::function<void()> body)
      : scheduler_(scheduler), participant_(scheduler.spawn(std::move(name), std::move(body))) {}
  ~VirtualThread() override { join(); }

  const std::string& name() const override { return participant_->name; }

  void join() override {
    if (joined_) return;
    scheduler_.join(*participant_);
    joined_ = true;
  }

 private:
  detail::VirtualScheduler& scheduler_;
  std::shared_ptr<detail::Participant> participant_;
  bool joined_ = false;
};

}  // namespace

VirtualTimeSource::VirtualTimeSource()
    : scheduler_(kStartUptime), clock_(scheduler_), mainLoop_(scheduler_, "main") {}

std::unique_ptr<RunLoop> VirtualTimeSource::makeRunLoop(std::string name) {
  return std::make_unique<VirtualRunLoop>(scheduler_, std::move(name));
}

void VirtualTimeSource::sleepFor(Duration duration) {
  auto lock = scheduler_.lock();
  detail::Participant& me = scheduler_.self();
  const Duration wakeAt = deadlineAfter(scheduler_.now(), duration);
  while (scheduler_.now() < wakeAt) {
    scheduler_.wait(lock, me, nullptr, wakeAt, std::nullopt, "sleeping");
  }
}

std::unique_ptr<Semaphore> VirtualTimeSource::makeSemaphore(int initialCount) {
  requireOrFail(initialCount >= 0, "a semaphore cannot start with a negative count");
  return std::make_unique<VirtualSemaphore>(scheduler_, initialCount);
}

std::unique_ptr<NamedThread> VirtualTimeSource::startThread(std::string name,
                                                            std::function<void()> body) {
  requireOrFail(static_cast<bool>(body), "thread '" + name + "' started without a body");
  return std::make_unique<VirtualThread>(scheduler_, std::move(name), std::move(body));
}

void VirtualTimeSource::advanceTo(Duration uptime) { mainLoop_.pumpUntilIdle(uptime); }

}  // namespace orvix
