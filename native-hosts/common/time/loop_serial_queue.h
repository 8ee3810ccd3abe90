#pragma once

#include <memory>
#include <string>

#include "common/time/serial_queue.h"
#include "common/time/time_source.h"

namespace orvix {

// A SerialQueue made of a RunLoop and a thread that runs it, both taken from one TimeSource.
// Building the queue from those parts gives the real and the virtual source the same queue
// behaviour, and under virtual time the queue is one more simulated thread.
class LoopSerialQueue final : public SerialQueue {
 public:
  LoopSerialQueue(TimeSource& time, std::string label);
  ~LoopSerialQueue() override;

  LoopSerialQueue(const LoopSerialQueue&) = delete;
  LoopSerialQueue& operator=(const LoopSerialQueue&) = delete;

  const std::string& label() const override { return label_; }
  void async(Task task) override;
  TimerHandle asyncAfter(Duration delay, Task task) override;
  void sync(const Task& task) override;
  bool runHereIfIdle(const Task& task) override;
  bool isCurrent() const override;

 private:
  TimeSource& time_;
  std::string label_;
  std::unique_ptr<RunLoop> loop_;
  std::unique_ptr<NamedThread> thread_;
};

}  // namespace orvix
