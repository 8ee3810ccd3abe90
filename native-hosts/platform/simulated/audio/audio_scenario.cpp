#include "platform/simulated/audio/audio_scenario.h"

#include <cmath>
#include <fstream>
#include <iterator>

#include "common/json_wire.h"
#include "platform/simulated/scenario_reading.h"

namespace orvix::platform::simulated {

namespace {

using namespace scenario_reading;

// Scenario files are developer input, but still outside input: every key must be known, every
// value is checked and bounded, and a wrong one names its path.
constexpr std::size_t kMaximumScheduledEvents = 1000;

double numberIn(const Json& value, const std::string& where, double low, double high) {
  if (!value.is_number()) fail(where, "must be a number");
  const double number = value.get<double>();
  if (!std::isfinite(number) || number < low || number > high) fail(where, "is out of range");
  return number;
}

Duration millisecondsValue(const Json& value, const std::string& where) {
  const double milliseconds = numberIn(value, where, 0, 86'400'000);
  return std::chrono::duration_cast<Duration>(
      std::chrono::duration<double, std::milli>(milliseconds));
}

int countValue(const Json& value, const std::string& where, std::int64_t high) {
  return static_cast<int>(integerIn(value, where, 0, high));
}

// Keys absent from `object` leave `spec` as it was.
SourceSpec sourceValue(const Json& object, const std::string& where, SourceSpec spec) {
  requireKeys(object, where,
              {"sampleRate", "channels", "interleaved", "sampleKind", "bufferFrames", "jitterMs",
               "stampJitterUs", "signal", "frequency", "amplitude", "seed", "driftPpm"});
  if (const Json* v = member(object, "sampleRate")) {
    spec.format.sampleRate = numberIn(*v, at(where, "sampleRate"), 8000, 192000);
  }
  if (const Json* v = member(object, "channels")) {
    spec.format.channelCount =
        static_cast<std::uint32_t>(integerIn(*v, at(where, "channels"), 1, 8));
  }
  if (const Json* v = member(object, "interleaved")) {
    spec.format.interleaved = boolValue(*v, at(where, "interleaved"));
  }
  if (const Json* v = member(object, "sampleKind")) {
    const std::string kind = stringValue(*v, at(where, "sampleKind"));
    if (kind == "float32") {
      spec.format.kind = SampleKind::float32;
    } else if (kind == "int16") {
      spec.format.kind = SampleKind::int16;
    } else if (kind == "int32") {
      spec.format.kind = SampleKind::int32;
    } else {
      fail(at(where, "sampleKind"), "must be float32, int16 or int32");
    }
  }
  if (const Json* v = member(object, "bufferFrames")) {
    spec.bufferFrames =
        static_cast<std::uint32_t>(integerIn(*v, at(where, "bufferFrames"), 16, 16384));
  }
  if (const Json* v = member(object, "jitterMs")) {
    spec.jitter = millisecondsValue(*v, at(where, "jitterMs"));
  }
  if (const Json* v = member(object, "stampJitterUs")) {
    spec.stampJitter =
        std::chrono::microseconds(integerIn(*v, at(where, "stampJitterUs"), 0, 100'000));
  }
  if (const Json* v = member(object, "signal")) {
    const std::string signal = stringValue(*v, at(where, "signal"));
    if (signal == "tone") {
      spec.signal.kind = SignalSpec::Kind::tone;
    } else if (signal == "noise") {
      spec.signal.kind = SignalSpec::Kind::noise;
    } else if (signal == "silence") {
      spec.signal.kind = SignalSpec::Kind::silence;
    } else if (signal == "ticks") {
      spec.signal.kind = SignalSpec::Kind::ticks;
    } else {
      fail(at(where, "signal"), "must be tone, noise, silence or ticks");
    }
  }
  if (const Json* v = member(object, "frequency")) {
    spec.signal.frequency = numberIn(*v, at(where, "frequency"), 1, 20000);
  }
  if (const Json* v = member(object, "amplitude")) {
    spec.signal.amplitude = numberIn(*v, at(where, "amplitude"), 0, 1);
  }
  if (const Json* v = member(object, "driftPpm")) {
    // Real crystals are off by tens of parts per million; a thousand is a broken device.
    spec.driftPpm = numberIn(*v, at(where, "driftPpm"), -1000, 1000);
  }
  if (const Json* v = member(object, "seed")) {
    spec.seed = static_cast<std::uint64_t>(integerIn(*v, at(where, "seed"), 0, 1'000'000));
  }
  return spec;
}

ScreenCaptureSpec screenCaptureValue(const Json& object, const std::string& where) {
  requireKeys(
      object, where,
      {"accessGranted", "grantOnRequest", "displayCount", "shareableContentFails", "failingStarts",
       "silentStarts", "firstAudioDelayMs", "startDelayMs", "source", "stops"});
  ScreenCaptureSpec spec;
  const std::pair<const char*, bool*> flags[] = {
      {"accessGranted", &spec.accessGranted},
      {"grantOnRequest", &spec.grantOnRequest},
      {"shareableContentFails", &spec.shareableContentFails}};
  for (auto [key, target] : flags) {
    if (const Json* v = member(object, key)) *target = boolValue(*v, at(where, key));
  }
  if (const Json* v = member(object, "displayCount")) {
    spec.displayCount = countValue(*v, at(where, "displayCount"), 16);
  }
  if (const Json* v = member(object, "failingStarts")) {
    spec.failingStarts = countValue(*v, at(where, "failingStarts"), 1000);
  }
  if (const Json* v = member(object, "silentStarts")) {
    spec.silentStarts = countValue(*v, at(where, "silentStarts"), 1000);
  }
  if (const Json* v = member(object, "firstAudioDelayMs")) {
    spec.firstAudioDelay = millisecondsValue(*v, at(where, "firstAudioDelayMs"));
  }
  if (const Json* v = member(object, "startDelayMs")) {
    spec.startDelay = millisecondsValue(*v, at(where, "startDelayMs"));
  }
  if (const Json* v = member(object, "source")) {
    spec.source = sourceValue(*v, at(where, "source"),
                              SourceSpec{AudioFormat{16000, 1, SampleKind::float32, false},
                                         SignalSpec{}, 1024, Duration{0}, 3});
  }
  if (const Json* v = member(object, "stops")) {
    const std::string path = at(where, "stops");
    const Json& stops = arrayValue(*v, path, kMaximumScheduledEvents);
    for (std::size_t i = 0; i < stops.size(); ++i) {
      const std::string item = at(path, i);
      requireKeys(stops[i], item, {"atMs", "error"});
      ScheduledStreamStop stop;
      if (const Json* moment = member(stops[i], "atMs")) {
        stop.at = millisecondsValue(*moment, at(item, "atMs"));
      }
      if (const Json* error = member(stops[i], "error")) {
        const std::string kind = stringValue(*error, at(item, "error"));
        if (kind != "system-stopped" && kind != "other") {
          fail(at(item, "error"), "must be system-stopped or other");
        }
        stop.stoppedBySystem = kind == "system-stopped";
      }
      spec.stops.push_back(stop);
    }
  }
  return spec;
}

ProcessTapSpec processTapValue(const Json& object, const std::string& where) {
  requireKeys(
      object, where,
      {"available", "startFails", "deliversAudio", "firstAudioDelayMs", "lostAtMs", "source"});
  ProcessTapSpec spec;
  if (const Json* v = member(object, "available"))
    spec.available = boolValue(*v, at(where, "available"));
  if (const Json* v = member(object, "startFails")) {
    if (boolValue(*v, at(where, "startFails"))) spec.failingStep = ProcessTapStep::startDevice;
  }
  if (const Json* v = member(object, "deliversAudio")) {
    spec.deliversAudio = boolValue(*v, at(where, "deliversAudio"));
  }
  if (const Json* v = member(object, "firstAudioDelayMs")) {
    spec.firstAudioDelay = millisecondsValue(*v, at(where, "firstAudioDelayMs"));
  }
  if (const Json* v = member(object, "lostAtMs"))
    spec.lostAt = millisecondsValue(*v, at(where, "lostAtMs"));
  if (const Json* v = member(object, "source"))
    spec.source = sourceValue(*v, at(where, "source"), spec.source);
  return spec;
}

MicrophoneStall stallValue(const Json& object, const std::string& where) {
  requireKeys(object, where, {"atMs", "forMs"});
  const Json* start = member(object, "atMs");
  if (!start) fail(where, "needs atMs");
  MicrophoneStall stall;
  stall.at = millisecondsValue(*start, at(where, "atMs"));
  if (const Json* v = member(object, "forMs"))
    stall.length = millisecondsValue(*v, at(where, "forMs"));
  return stall;
}

DefaultInputChange inputChangeValue(const Json& object, const std::string& where,
                                    const SourceSpec& source) {
  requireKeys(object, where, {"atMs", "device"});
  const Json* start = member(object, "atMs");
  const Json* device = member(object, "device");
  if (!start || !device) fail(where, "needs atMs and device");
  // What the new device does not say it shares with the microphone's own source.
  return DefaultInputChange{millisecondsValue(*start, at(where, "atMs")),
                            sourceValue(*device, at(where, "device"), source)};
}

MicrophoneSpec microphoneValue(const Json& object, const std::string& where) {
  requireKeys(object, where,
              {"authorization", "hasInputDevice", "failingStarts", "failingRebuilds",
               "deliversAudio", "firstAudioDelayMs", "source", "stalls", "defaultInputChanges"});
  MicrophoneSpec spec;
  if (const Json* v = member(object, "authorization")) {
    spec.authorization = stringValue(*v, at(where, "authorization"));
    const auto& a = spec.authorization;
    if (a != "authorized" && a != "denied" && a != "restricted" && a != "not-determined") {
      fail(at(where, "authorization"), "must be authorized, denied, restricted or not-determined");
    }
  }
  if (const Json* v = member(object, "hasInputDevice")) {
    spec.hasInputDevice = boolValue(*v, at(where, "hasInputDevice"));
  }
  if (const Json* v = member(object, "failingStarts")) {
    spec.failingStarts = countValue(*v, at(where, "failingStarts"), 1000);
  }
  if (const Json* v = member(object, "failingRebuilds")) {
    spec.failingRebuilds = countValue(*v, at(where, "failingRebuilds"), 1000);
  }
  if (const Json* v = member(object, "deliversAudio")) {
    spec.deliversAudio = boolValue(*v, at(where, "deliversAudio"));
  }
  if (const Json* v = member(object, "firstAudioDelayMs")) {
    spec.firstAudioDelay = millisecondsValue(*v, at(where, "firstAudioDelayMs"));
  }
  if (const Json* v = member(object, "source"))
    spec.source = sourceValue(*v, at(where, "source"), spec.source);
  if (const Json* v = member(object, "stalls")) {
    const std::string path = at(where, "stalls");
    const Json& stalls = arrayValue(*v, path, kMaximumScheduledEvents);
    for (std::size_t i = 0; i < stalls.size(); ++i)
      spec.stalls.push_back(stallValue(stalls[i], at(path, i)));
  }
  if (const Json* v = member(object, "defaultInputChanges")) {
    const std::string path = at(where, "defaultInputChanges");
    const Json& changes = arrayValue(*v, path, kMaximumScheduledEvents);
    for (std::size_t i = 0; i < changes.size(); ++i) {
      spec.defaultInputChanges.push_back(inputChangeValue(changes[i], at(path, i), spec.source));
    }
  }
  return spec;
}

constexpr std::string_view kDefaultScenario = R"({
  "processTap": {"available": true, "source": {"sampleRate": 48000, "channels": 2,
                 "bufferFrames": 480, "jitterMs": 2, "signal": "tone", "frequency": 440,
                 "amplitude": 0.5}},
  "screenCapture": {"source": {"sampleRate": 16000, "channels": 1, "bufferFrames": 1024,
                    "signal": "tone", "frequency": 440, "amplitude": 0.5}},
  "microphone": {"authorization": "authorized", "source": {"sampleRate": 44100, "channels": 1,
                 "bufferFrames": 1024, "jitterMs": 3, "signal": "tone", "frequency": 220,
                 "amplitude": 0.3}}
})";

}  // namespace

std::string_view defaultAudioScenarioJson() { return kDefaultScenario; }

std::variant<AudioScenario, AudioScenarioError> parseAudioScenario(std::string_view json) {
  const auto root = parseJsonObject(json);
  if (!root) return AudioScenarioError{"not a JSON object"};
  try {
    requireKeys(*root, "", {"screenCapture", "processTap", "microphone"});
    AudioScenario scenario;
    if (const Json* v = member(*root, "screenCapture")) {
      scenario.screenCapture = screenCaptureValue(*v, "screenCapture");
    }
    if (const Json* v = member(*root, "processTap")) {
      scenario.processTap = processTapValue(*v, "processTap");
    }
    if (const Json* v = member(*root, "microphone")) {
      scenario.microphone = microphoneValue(*v, "microphone");
    }
    return scenario;
  } catch (const Fault& fault) {
    return AudioScenarioError{fault.message};
  }
}

std::variant<AudioScenario, AudioScenarioError> loadAudioScenario(std::string_view nameOrPath) {
  if (nameOrPath == "default") return parseAudioScenario(kDefaultScenario);
  std::ifstream file{std::string(nameOrPath)};
  if (!file) return AudioScenarioError{"cannot read the file"};
  // Scenario files are small; anything larger than this is not one.
  std::string text;
  text.resize(1 << 20);
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (file.gcount() == static_cast<std::streamsize>(text.size())) {
    return AudioScenarioError{"larger than 1 MiB"};
  }
  text.resize(static_cast<std::size_t>(file.gcount()));
  return parseAudioScenario(text);
}

}  // namespace orvix::platform::simulated
