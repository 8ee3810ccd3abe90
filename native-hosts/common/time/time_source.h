#pragma once

#include <functional>
#include <memory>
#include <string>

#include "common/time/clock.h"
#include "common/time/named_thread.h"
#include "common/time/run_loop.h"
#include "common/time/semaphore.h"
#include "common/time/serial_queue.h"
#include "common/time/time_types.h"

namespace orvix {

// Everything the logic needs from time and threads. Logic takes a TimeSource& and never reads
// a clock, sleeps or starts a thread on its own: programs pass a RealTimeSource, tests a
// VirtualTimeSource, and the same code runs on both.
class TimeSource {
 public:
  virtual ~TimeSource() = default;

  virtual const Clock& clock() const = 0;

  // The loop of the process's main thread (commands, Bluetooth callbacks, host timers).
  virtual RunLoop& mainLoop() = 0;
  // A loop for a thread of its own, e.g. the quick-add event-tap thread.
  virtual std::unique_ptr<RunLoop> makeRunLoop(std::string name) = 0;

  // A serial queue backed by a thread of this source running a loop of this source.
  std::unique_ptr<SerialQueue> makeSerialQueue(std::string label);

  // Blocks the calling thread; the loops it runs, if any, do not run meanwhile.
  virtual void sleepFor(Duration duration) = 0;

  virtual std::unique_ptr<Semaphore> makeSemaphore(int initialCount) = 0;

  virtual std::unique_ptr<NamedThread> startThread(std::string name,
                                                   std::function<void()> body) = 0;
};

}  // namespace orvix
