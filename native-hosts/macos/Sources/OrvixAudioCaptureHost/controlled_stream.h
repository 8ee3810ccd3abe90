#pragma once

#include <functional>
#include <memory>

#include "common/time/time_source.h"
#include "platform/screen_capture.h"

namespace orvix::capture {

// One screen-capture stream whose start and stop calls never overlap. Start-up, stream recovery
// and the stop sequence each reach the stream from a task of their own: unserialised, a stop
// could land while a start call is still under way, and the stream would run on after the
// recording ended; or start-up and the stop sequence would both stop the same stream.
//
// The control lock is a semaphore of the time source, so that a task waiting for it lets the
// other tasks (and virtual time) move on. It is taken before any of the controller's locks and
// never while one of them is held.
class ControlledStream {
 public:
  ControlledStream(std::shared_ptr<platform::ScreenCaptureStream> stream, TimeSource& time);
  ControlledStream(const ControlledStream&) = delete;
  ControlledStream& operator=(const ControlledStream&) = delete;

  platform::ScreenCaptureStream& stream() const { return *stream_; }

  // Starts capturing unless the stream was stopped already. `stillWanted` is asked once the
  // start succeeded; when the recording no longer wants the stream it is stopped again. True
  // only for a running, wanted stream; a stream whose start call failed is left to stop().
  bool start(const std::function<bool()>& stillWanted);
  // Stops the stream; only the first call reaches the platform.
  void stop();

 private:
  class Control;

  std::shared_ptr<platform::ScreenCaptureStream> stream_;
  std::unique_ptr<Semaphore> control_;
  bool stopped_ = false;  // guarded by control_
};

}  // namespace orvix::capture
