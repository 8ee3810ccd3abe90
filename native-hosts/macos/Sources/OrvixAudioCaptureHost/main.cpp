// OrvixAudioCaptureHost: records one session of the computer's audio (and, in meeting mode, the
// microphone) into raw 16 kHz mono PCM tracks, steered by JSON lines on standard input.
//
//   OrvixAudioCaptureHost --session-id ID --output PATH --mode media|meeting
//                         --microphone-enabled true|false [--simulate default|SCENARIO_FILE]
//
// --simulate is for development only: the recording comes from a simulated audio world.

#include <unistd.h>

#include <csignal>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "OrvixAudioCaptureHost/capture_error.h"
#include "OrvixAudioCaptureHost/capture_events.h"
#include "OrvixAudioCaptureHost/capture_host.h"
#include "common/bounded_line_reader.h"
#include "common/line_sink.h"
#include "common/time/real_time_source.h"
#include "platform/machine_audio.h"
#include "platform/simulated/audio/simulated_audio_world.h"

namespace {

using namespace orvix;

[[noreturn]] void exitProcess(int status) {
  // Events go out through write(2) unbuffered, so nothing is lost by skipping the destructors
  // of threads that are still blocked in a read or a wait.
  ::_exit(status);
}

int runHost(platform::Audio audio, TimeSource& time,
            const std::vector<std::string_view>& arguments) {
  FileDescriptorLineSink output(STDOUT_FILENO);
  capture::CaptureHost host(audio, time, output, [](int status) { exitProcess(status); });
  if (const auto status = host.start(arguments)) exitProcess(*status);
  FileDescriptorSource input(STDIN_FILENO);
  host.startCommandReader(input);
  time.mainLoop().run();
  exitProcess(0);
}

}  // namespace

int main(int argc, char** argv) {
  // The desktop application going away closes our standard output; writes must fail quietly.
  std::signal(SIGPIPE, SIG_IGN);
  // A file-size limit must end only the track that reached it, as a failed write, not the whole
  // process with a half-written track and no last event.
  std::signal(SIGXFSZ, SIG_IGN);

  std::vector<std::string_view> arguments(argv + 1, argv + argc);
  std::optional<std::string_view> simulate;
  for (std::size_t i = 0; i + 1 < arguments.size(); i += 2) {
    if (arguments[i] == "--simulate") simulate = arguments[i + 1];
  }

  RealTimeSource time;
  if (!simulate) {
    const auto machine = platform::makeMachineAudio();
    return runHost(machine->audio(), time, arguments);
  }
  auto loaded = platform::simulated::loadAudioScenario(*simulate);
  if (std::holds_alternative<platform::simulated::AudioScenarioError>(loaded)) {
    // An unusable scenario is an invalid argument; like every failure it is reported on
    // standard output only, since nothing ever goes to standard error.
    FileDescriptorLineSink output(STDOUT_FILENO);
    capture::CaptureEvents events(output);
    events.emit(
        "recording.failed",
        Json{{"code", std::string(capture::wireCode(capture::CaptureError::captureFailed))}});
    exitProcess(2);
  }
  platform::simulated::SimulatedAudioWorld world(
      time, std::get<platform::simulated::AudioScenario>(std::move(loaded)));
  return runHost(world.audio(), time, arguments);
}
