#include "OrvixAudioCaptureHost/controlled_stream.h"

namespace orvix::capture {

// Holds the control lock for one call.
class ControlledStream::Control {
 public:
  explicit Control(Semaphore& semaphore) : semaphore_(semaphore) { semaphore_.wait(); }
  ~Control() { semaphore_.signal(); }
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

 private:
  Semaphore& semaphore_;
};

ControlledStream::ControlledStream(std::shared_ptr<platform::ScreenCaptureStream> stream,
                                   TimeSource& time)
    : stream_(std::move(stream)), control_(time.makeSemaphore(1)) {}

bool ControlledStream::start(const std::function<bool()>& stillWanted) {
  Control control(*control_);
  if (stopped_) return false;
  if (stream_->startCapture()) return false;
  if (stillWanted()) return true;
  // A stop came in while the start call ran, and its own stop call is waiting for this one:
  // the stream is stopped here, and that call then finds nothing left to do.
  stopped_ = true;
  (void)stream_->stopCapture();
  return false;
}

void ControlledStream::stop() {
  Control control(*control_);
  if (stopped_) return;
  stopped_ = true;
  (void)stream_->stopCapture();
}

}  // namespace orvix::capture
