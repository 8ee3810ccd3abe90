#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/time/time_types.h"
#include "platform/simulated/audio/signal_source.h"

namespace orvix::platform::simulated {

// A stop of the running system stream that the world schedules: by the system (recoverable) or
// with another error.
struct ScheduledStreamStop {
  Duration at{0};  // since the world was made
  bool stoppedBySystem = true;
};

struct ScreenCaptureSpec {
  bool accessGranted = true;
  bool grantOnRequest = true;
  int displayCount = 1;
  bool shareableContentFails = false;
  int failingStarts = 0;  // the first N startCapture calls fail
  int silentStarts = 0;   // the first N started streams deliver nothing
  Duration firstAudioDelay = std::chrono::milliseconds(40);
  // How long startCapture takes to return, as the platform's start can when the system is busy.
  Duration startDelay{0};
  // Absent: the stream delivers in the format it was configured for (16 kHz mono float).
  std::optional<SourceSpec> source;
  std::vector<ScheduledStreamStop> stops;
};

// The step of a process tap's set-up that the simulated server refuses.
enum class ProcessTapStep {
  none,
  createTap,
  createAggregateDevice,
  readTapFormat,
  createIoProc,
  addAliveListener,
  startDevice,
};

struct ProcessTapSpec {
  bool available = false;
  ProcessTapStep failingStep = ProcessTapStep::none;  // "startFails": the device does not start
  // False: the desktop application plays no audio, so the server has no object for it.
  bool parentHasProcessObject = true;
  bool deliversAudio = true;
  Duration firstAudioDelay = std::chrono::milliseconds(20);
  SourceSpec source;
  std::optional<Duration> lostAt;  // since the world was made
};

// A stretch in which every microphone engine delivers nothing; without a length it never ends.
struct MicrophoneStall {
  Duration at{0};  // since the world was made
  std::optional<Duration> length;
};

// The user picks another default input device: engines made from then on record from it, in its
// format, and every default-input listener hears of the change. An engine already running keeps
// the device it started with.
struct DefaultInputChange {
  Duration at{0};  // since the world was made
  SourceSpec device;
};

struct MicrophoneSpec {
  std::string authorization = "authorized";
  bool hasInputDevice = true;
  int failingStarts = 0;    // the first N engine starts fail
  int failingRebuilds = 0;  // then, the first N engines made after the start-up one fail to start
  bool deliversAudio = true;
  Duration firstAudioDelay = std::chrono::milliseconds(30);
  SourceSpec source{AudioFormat{44100, 1, SampleKind::float32, false},
                    SignalSpec{SignalSpec::Kind::tone, 220, 0.3}, 1024, Duration{0}, 7};
  std::vector<MicrophoneStall> stalls;
  std::vector<DefaultInputChange> defaultInputChanges;
};

// The audio world a recording runs in; scenario files give it as JSON.
struct AudioScenario {
  ScreenCaptureSpec screenCapture;
  ProcessTapSpec processTap;
  MicrophoneSpec microphone;
};

struct AudioScenarioError {
  std::string message;
};

std::variant<AudioScenario, AudioScenarioError> parseAudioScenario(std::string_view json);
// "default" or the path of a scenario file.
std::variant<AudioScenario, AudioScenarioError> loadAudioScenario(std::string_view nameOrPath);
std::string_view defaultAudioScenarioJson();

}  // namespace orvix::platform::simulated
