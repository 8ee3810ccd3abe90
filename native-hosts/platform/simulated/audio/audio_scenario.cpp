#include "platform/simulated/audio/audio_scenario.h"

#include <cmath>
#include <fstream>
#include <iterator>

#include "common/json_wire.h"

namespace orvix::platform::simulated {

namespace {

// Scenario files are developer input, but still outside input: every value is checked and
// bounded, and a wrong one names its key.
class Reader {
 public:
  explicit Reader(std::string& error) : error_(error) {}

  bool boolean(const Json& object, const char* key, bool& out) {
    if (!object.contains(key)) return true;
    if (!object[key].is_boolean()) return fail(key, "must be true or false");
    out = object[key].get<bool>();
    return true;
  }

  bool integer(const Json& object, const char* key, std::int64_t low, std::int64_t high, int& out) {
    if (!object.contains(key)) return true;
    const auto value = integralNumber(object[key]);
    if (!value || *value < low || *value > high) return fail(key, "is out of range");
    out = static_cast<int>(*value);
    return true;
  }

  bool number(const Json& object, const char* key, double low, double high, double& out) {
    if (!object.contains(key)) return true;
    if (!object[key].is_number()) return fail(key, "must be a number");
    const double value = object[key].get<double>();
    if (!std::isfinite(value) || value < low || value > high) return fail(key, "is out of range");
    out = value;
    return true;
  }

  bool milliseconds(const Json& object, const char* key, Duration& out) {
    double value = -1;
    if (!object.contains(key)) return true;
    if (!number(object, key, 0, 86'400'000, value)) return false;
    out = std::chrono::duration_cast<Duration>(std::chrono::duration<double, std::milli>(value));
    return true;
  }

  bool string(const Json& object, const char* key, std::string& out) {
    if (!object.contains(key)) return true;
    if (!object[key].is_string()) return fail(key, "must be a string");
    out = object[key].get<std::string>();
    return true;
  }

  bool object(const Json& parent, const char* key, const Json*& out) {
    out = nullptr;
    if (!parent.contains(key)) return true;
    if (!parent[key].is_object()) return fail(key, "must be an object");
    out = &parent[key];
    return true;
  }

  bool source(const Json& object, SourceSpec& spec) {
    double rate = spec.format.sampleRate;
    int channels = static_cast<int>(spec.format.channelCount);
    int frames = static_cast<int>(spec.bufferFrames);
    std::string sampleKind = spec.format.kind == SampleKind::int16   ? "int16"
                             : spec.format.kind == SampleKind::int32 ? "int32"
                                                                     : "float32";
    std::string signal = "tone";
    int seed = static_cast<int>(spec.seed);
    if (!number(object, "sampleRate", 8000, 192000, rate) ||
        !integer(object, "channels", 1, 8, channels) ||
        !boolean(object, "interleaved", spec.format.interleaved) ||
        !string(object, "sampleKind", sampleKind) ||
        !integer(object, "bufferFrames", 16, 16384, frames) ||
        !milliseconds(object, "jitterMs", spec.jitter) || !string(object, "signal", signal) ||
        !number(object, "frequency", 1, 20000, spec.signal.frequency) ||
        !number(object, "amplitude", 0, 1, spec.signal.amplitude) ||
        !integer(object, "seed", 0, 1'000'000, seed)) {
      return false;
    }
    if (sampleKind == "float32") {
      spec.format.kind = SampleKind::float32;
    } else if (sampleKind == "int16") {
      spec.format.kind = SampleKind::int16;
    } else if (sampleKind == "int32") {
      spec.format.kind = SampleKind::int32;
    } else {
      return fail("sampleKind", "must be float32, int16 or int32");
    }
    if (signal == "tone") {
      spec.signal.kind = SignalSpec::Kind::tone;
    } else if (signal == "noise") {
      spec.signal.kind = SignalSpec::Kind::noise;
    } else if (signal == "silence") {
      spec.signal.kind = SignalSpec::Kind::silence;
    } else {
      return fail("signal", "must be tone, noise or silence");
    }
    spec.format.sampleRate = rate;
    spec.format.channelCount = static_cast<std::uint32_t>(channels);
    spec.bufferFrames = static_cast<std::uint32_t>(frames);
    spec.seed = static_cast<std::uint64_t>(seed);
    return true;
  }

  bool fail(const char* key, const char* what) {
    error_ = std::string("\"") + key + "\" " + what;
    return false;
  }

 private:
  std::string& error_;
};

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
  AudioScenario scenario;
  std::string error;
  Reader reader(error);
  const Json* section = nullptr;
  const Json* source = nullptr;

  if (!reader.object(*root, "screenCapture", section)) return AudioScenarioError{error};
  if (section != nullptr) {
    auto& spec = scenario.screenCapture;
    if (!reader.boolean(*section, "accessGranted", spec.accessGranted) ||
        !reader.boolean(*section, "grantOnRequest", spec.grantOnRequest) ||
        !reader.integer(*section, "displayCount", 0, 16, spec.displayCount) ||
        !reader.boolean(*section, "shareableContentFails", spec.shareableContentFails) ||
        !reader.integer(*section, "failingStarts", 0, 1000, spec.failingStarts) ||
        !reader.integer(*section, "silentStarts", 0, 1000, spec.silentStarts) ||
        !reader.milliseconds(*section, "firstAudioDelayMs", spec.firstAudioDelay) ||
        !reader.milliseconds(*section, "startDelayMs", spec.startDelay) ||
        !reader.object(*section, "source", source)) {
      return AudioScenarioError{error};
    }
    if (source != nullptr) {
      SourceSpec parsed{AudioFormat{16000, 1, SampleKind::float32, false}, SignalSpec{}, 1024,
                        Duration{0}, 3};
      if (!reader.source(*source, parsed)) return AudioScenarioError{error};
      spec.source = parsed;
    }
    if (section->contains("stops")) {
      const Json& stops = (*section)["stops"];
      if (!stops.is_array() || stops.size() > 1000) {
        return AudioScenarioError{"\"stops\" must be a list of at most 1000 stops"};
      }
      for (const Json& stop : stops) {
        if (!stop.is_object()) return AudioScenarioError{"a stop must be an object"};
        ScheduledStreamStop scheduled;
        std::string kind = "system-stopped";
        if (!reader.milliseconds(stop, "atMs", scheduled.at) ||
            !reader.string(stop, "error", kind)) {
          return AudioScenarioError{error};
        }
        if (kind != "system-stopped" && kind != "other") {
          return AudioScenarioError{"\"error\" must be system-stopped or other"};
        }
        scheduled.stoppedBySystem = kind == "system-stopped";
        spec.stops.push_back(scheduled);
      }
    }
  }

  if (!reader.object(*root, "processTap", section)) return AudioScenarioError{error};
  if (section != nullptr) {
    auto& spec = scenario.processTap;
    Duration lostAt{-1};
    bool startFails = false;
    if (!reader.boolean(*section, "available", spec.available) ||
        !reader.boolean(*section, "startFails", startFails) ||
        !reader.boolean(*section, "deliversAudio", spec.deliversAudio) ||
        !reader.milliseconds(*section, "firstAudioDelayMs", spec.firstAudioDelay) ||
        !reader.milliseconds(*section, "lostAtMs", lostAt) ||
        !reader.object(*section, "source", source)) {
      return AudioScenarioError{error};
    }
    if (lostAt >= Duration::zero()) spec.lostAt = lostAt;
    if (startFails) spec.failingStep = ProcessTapStep::startDevice;
    if (source != nullptr && !reader.source(*source, spec.source)) return AudioScenarioError{error};
  }

  if (!reader.object(*root, "microphone", section)) return AudioScenarioError{error};
  if (section != nullptr) {
    auto& spec = scenario.microphone;
    if (!reader.string(*section, "authorization", spec.authorization) ||
        !reader.boolean(*section, "hasInputDevice", spec.hasInputDevice) ||
        !reader.integer(*section, "failingStarts", 0, 1000, spec.failingStarts) ||
        !reader.boolean(*section, "deliversAudio", spec.deliversAudio) ||
        !reader.milliseconds(*section, "firstAudioDelayMs", spec.firstAudioDelay) ||
        !reader.object(*section, "source", source)) {
      return AudioScenarioError{error};
    }
    const auto& a = spec.authorization;
    if (a != "authorized" && a != "denied" && a != "restricted" && a != "not-determined") {
      return AudioScenarioError{
          "\"authorization\" must be authorized, denied, restricted or not-determined"};
    }
    if (source != nullptr && !reader.source(*source, spec.source)) return AudioScenarioError{error};
  }
  return scenario;
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
