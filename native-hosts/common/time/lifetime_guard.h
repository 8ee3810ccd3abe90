#pragma once

#include <memory>
#include <utility>

#include "common/time/time_types.h"

namespace orvix {

// Work posted to a run loop or a queue that may outlive its owner: a task made by guard() does
// nothing once the guard (a member of the owner) is gone. The check and the run happen on the
// thread that runs the task, so the owner must be destroyed on that thread too (the main loop's
// owners are).
class LifetimeGuard {
 public:
  Task guard(Task task) const {
    return [alive = std::weak_ptr<const int>(token_), task = std::move(task)] {
      if (alive.lock()) task();
    };
  }

 private:
  std::shared_ptr<const int> token_ = std::make_shared<const int>(0);
};

}  // namespace orvix
