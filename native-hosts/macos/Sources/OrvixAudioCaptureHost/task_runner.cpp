#include "OrvixAudioCaptureHost/task_runner.h"

namespace orvix::capture {

void TaskRunner::run(std::string name, std::function<void()> body) {
  joinFinished();
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::lock_guard lock(mutex_);
  auto thread = time_.startThread(std::move(name), [body = std::move(body), done]() mutable {
    body();
    // What the task holds (a stream, a tap and its queues) is released on the task's own
    // thread, not wherever the thread object happens to be destroyed.
    body = nullptr;
    done->store(true);
  });
  tasks_.push_back(Task{std::move(thread), done});
}

void TaskRunner::joinFinished() {
  std::list<Task> finished;
  {
    std::lock_guard lock(mutex_);
    for (auto it = tasks_.begin(); it != tasks_.end();) {
      if (it->finished->load()) {
        finished.splice(finished.end(), tasks_, it++);
      } else {
        ++it;
      }
    }
  }
  for (auto& task : finished) task.thread->join();
}

void TaskRunner::joinAll() {
  while (true) {
    std::list<Task> running;
    {
      std::lock_guard lock(mutex_);
      if (tasks_.empty()) return;
      running.swap(tasks_);
    }
    for (auto& task : running) task.thread->join();
  }
}

}  // namespace orvix::capture
