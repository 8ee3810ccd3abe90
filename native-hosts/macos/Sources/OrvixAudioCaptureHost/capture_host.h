#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>

#include "OrvixAudioCaptureHost/capture_controller.h"
#include "OrvixAudioCaptureHost/capture_events.h"
#include "common/bounded_line_reader.h"
#include "common/line_sink.h"
#include "common/time/time_source.h"
#include "platform/audio.h"

namespace orvix::capture {

// The capture host's process shell: arguments, the controller, the start-up task and the
// command loop. The program runs it on the real clock and exits for real; tests run it on
// virtual time and feed lines straight to handleLine.
class CaptureHost {
 public:
  CaptureHost(platform::Audio audio, TimeSource& time, LineSink& output, ExitProcess exitProcess);
  ~CaptureHost();
  CaptureHost(const CaptureHost&) = delete;
  CaptureHost& operator=(const CaptureHost&) = delete;

  // Reads the arguments (without the program name), creates the track files and starts the
  // recording task. Returns the exit status when the process must end at once: 2 for invalid
  // arguments, 1 when a track file cannot be created; "recording.failed" is written first.
  std::optional<int> start(std::span<const std::string_view> arguments);

  // Main thread: one command line without its terminator. Anything malformed does nothing.
  void handleLine(std::string_view line);
  // Main thread: standard input has ended, which discards the recording.
  void endOfInput();

  // Reads `input` on a thread of its own and hands each line, in order, to the main loop.
  void startCommandReader(ByteSource& input);

  CaptureController* controller() { return controller_.get(); }

  // Command lines longer than this are dropped unread; real commands are a few dozen bytes.
  static constexpr std::size_t kMaximumCommandBytes = 64 * 1024;

 private:
  // The controller's way out: joins the host's threads that have finished, then exits.
  void exitJoiningFinishedThreads(int status);

  platform::Audio audio_;
  TimeSource& time_;
  CaptureEvents events_;
  ExitProcess exitProcess_;
  std::unique_ptr<CaptureController> controller_;
  std::unique_ptr<NamedThread> startTask_;
  std::unique_ptr<NamedThread> reader_;
  std::mutex readerEndLock_;
  bool readerEnded_ = false;  // guarded by readerEndLock_
};

}  // namespace orvix::capture
