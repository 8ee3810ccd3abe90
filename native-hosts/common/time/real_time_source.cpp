#include "common/time/real_time_source.h"

#include <condition_variable>
#include <mutex>
#include <thread>

#include "common/time/current_thread_name.h"
#include "common/time/fail_fast.h"
#include "common/time/real_wait.h"

namespace orvix {

namespace {

class RealSemaphore final : public Semaphore {
 public:
  explicit RealSemaphore(int initialCount) : count_(initialCount) {}

  void signal() override {
    std::lock_guard lock(mutex_);
    ++count_;
    available_.notify_one();
  }

  void wait() override {
    std::unique_lock lock(mutex_);
    available_.wait(lock, [this] { return count_ > 0; });
    --count_;
  }

  bool waitFor(Duration timeout) override {
    const Duration deadline = deadlineAfter(detail::realUptime(), timeout);
    std::unique_lock lock(mutex_);
    while (count_ == 0) {
      if (detail::realUptime() >= deadline) return false;
      detail::waitUntilUptime(available_, lock, deadline);
    }
    --count_;
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable available_;
  long count_;
};

class RealThread final : public NamedThread {
 public:
  RealThread(std::string name, std::function<void()> body) : name_(std::move(name)) {
    thread_ = std::thread([name = name_, body = std::move(body)] {
      detail::setCurrentThreadName(name);
      body();
    });
  }
  ~RealThread() override { join(); }

  const std::string& name() const override { return name_; }

  void join() override {
    if (!thread_.joinable()) return;
    requireOrFail(thread_.get_id() != std::this_thread::get_id(),
                  "thread '" + name_ + "' tried to join itself");
    thread_.join();
  }

 private:
  std::string name_;
  std::thread thread_;
};

}  // namespace

Duration RealClock::uptime() const { return detail::realUptime(); }

RealTimeSource::RealTimeSource() : mainLoop_("main") {}

std::unique_ptr<RunLoop> RealTimeSource::makeRunLoop(std::string name) {
  return std::make_unique<RealRunLoop>(std::move(name));
}

void RealTimeSource::sleepFor(Duration duration) {
  if (duration > Duration::zero()) std::this_thread::sleep_for(duration);
}

std::unique_ptr<Semaphore> RealTimeSource::makeSemaphore(int initialCount) {
  requireOrFail(initialCount >= 0, "a semaphore cannot start with a negative count");
  return std::make_unique<RealSemaphore>(initialCount);
}

std::unique_ptr<NamedThread> RealTimeSource::startThread(std::string name,
                                                         std::function<void()> body) {
  requireOrFail(static_cast<bool>(body), "thread '" + name + "' started without a body");
  return std::make_unique<RealThread>(std::move(name), std::move(body));
}

}  // namespace orvix
