#include "common/time/loop_serial_queue.h"

#include <exception>

#include "common/time/fail_fast.h"

namespace orvix {

namespace {
// The queue whose task the current thread is running; lets sync() catch a queue waiting on
// itself, which would otherwise hang with no trace.
thread_local const LoopSerialQueue* currentQueue = nullptr;
}  // namespace

std::unique_ptr<SerialQueue> TimeSource::makeSerialQueue(std::string label) {
  return std::make_unique<LoopSerialQueue>(*this, std::move(label));
}

LoopSerialQueue::LoopSerialQueue(TimeSource& time, std::string label)
    : time_(time), label_(std::move(label)), loop_(time.makeRunLoop(label_)) {
  thread_ = time.startThread(label_, [this] {
    currentQueue = this;
    loop_->run();
    currentQueue = nullptr;
  });
}

LoopSerialQueue::~LoopSerialQueue() {
  requireOrFail(!isCurrent(), "serial queue '" + label_ + "' destroyed from its own task");
  loop_->stop();
  thread_->join();
  // loop_ goes next and discards what never started.
}

void LoopSerialQueue::async(Task task) { loop_->post(std::move(task)); }

TimerHandle LoopSerialQueue::asyncAfter(Duration delay, Task task) {
  return loop_->scheduleAfter(delay, std::move(task));
}

bool LoopSerialQueue::runHereIfIdle(const Task& task) {
  // As a GCD serial queue does for sync: on an idle queue the task runs on the caller's thread,
  // which spares two thread switches a call (an audio tap syncs once a buffer); the queue starts
  // nothing else meanwhile, and inside the task the queue is the current one.
  struct Borrowed {
    const LoopSerialQueue* caller = currentQueue;
    ~Borrowed() { currentQueue = caller; }
  } borrowed;
  return loop_->runHereIfIdle([this, &task] {
    currentQueue = this;
    task();
  });
}

void LoopSerialQueue::sync(const Task& task) {
  requireOrFail(!isCurrent(), "serial queue '" + label_ + "' called sync() on itself");
  if (runHereIfIdle(task)) return;
  // Shared with the task so that the semaphore outlives signal() even when the caller wakes
  // and returns before signal() itself has returned.
  std::shared_ptr<Semaphore> done = time_.makeSemaphore(0);
  std::exception_ptr failure;
  loop_->post([&task, &failure, done] {
    try {
      task();
    } catch (...) {
      failure = std::current_exception();
    }
    done->signal();
  });
  done->wait();
  if (failure) std::rethrow_exception(failure);
}

bool LoopSerialQueue::isCurrent() const { return currentQueue == this; }

}  // namespace orvix
