// A stand-in for the closed VX41 enhancement engine, for tests, the demo and benchmarks. It keeps
// the engine's calling convention and output rules and has a simple, exact behaviour so that the
// decoder's output can be checked sample by sample:
//
// - Output is the input delayed by `delay_frames` (silence before it), the samples rounded back
//   to 16 bits, returned as two planes (kind 2). Like any causal engine it never returns more
//   frames than it was fed: a step returns what was fed since the last one. With `chunk_frames`
//   above 1 it hands output out only in whole multiples of that many frames and answers kind 0
//   (nothing) in between, like an engine that works in larger internal blocks.
// - A pickup-mode change after audio has been fed restarts the stream: what is pending is dropped
//   and `transition_frames` frames of the constant `transition_value` come first (the decoder is
//   expected to discard them). A change before any audio costs nothing.
// - Faults on request: `fail` = create | set-param | append | run makes the `fail_at`-th call of
//   that function return `failure_status` (a failed creation still hands back an instance);
//   `null_handle=1` makes creation hand back no handle; `fault` = kind-1 | unequal-lengths |
//   null-output | negative-length | kind-0-with-data | extra-frames makes the `fault_at`-th step
//   return that result. `success_status` (at most 1) is what successful calls return.
// - `log` appends one line per call (and the working directory at creation) to a file; `input_dump`
//   appends every block of floats it is fed, as raw bytes.
// - Like the real engine it needs a library of its own (libvx41_standin_kernels) that lies only
//   beside it in vx41/lib, and the OpenMP runtime's symbols already loaded globally.
//
// The configuration is the file passed to VSPCreate: `key=value` lines, `#` comments.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <fstream>
#include <map>
#include <new>
#include <string>
#include <vector>

extern "C" int vx41StandinRuntimeThreadCount();  // from the stand-in OpenMP runtime
// From libvx41_standin_kernels, a dependency this library names itself (DT_NEEDED).
extern "C" std::int16_t vx41StandinRoundSample(float value);

namespace {

constexpr std::uint32_t kPickupModeParameter = 0x10000009;
constexpr std::int32_t kBlockFrames = 512;
constexpr long kMaximumConfiguredFrames =
    1 << 20;  // keeps a bad configuration from exhausting memory

struct Frame {
  std::int16_t first = 0;
  std::int16_t second = 0;
};

struct Settings {
  long delayFrames = 0;
  long chunkFrames = 1;
  long transitionFrames = 1024;
  long transitionValue = 0x1234;
  int successStatus = 0;
  int failureStatus = 2;
  std::string fail;
  long failAt = 1;
  std::string fault;
  long faultAt = 1;
  bool nullHandle = false;
  std::string log;
  std::string inputDump;
};

struct Engine {
  Settings settings;
  std::deque<Frame> pending;  // the delay line: what is still to come out, oldest first
  long releasable = 0;        // frames of `pending` the engine may hand out now
  std::vector<std::int16_t> planes;
  bool fedAudio = false;
  long appendCalls = 0;
  long runCalls = 0;
  long setParamCalls = 0;
};

std::map<std::string, std::string> readKeyValues(const char* path) {
  std::map<std::string, std::string> values;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#' || line[0] == '[') continue;
    const auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return values;
}

long boundedNumber(const std::map<std::string, std::string>& values, const char* key,
                   long fallback) {
  const auto it = values.find(key);
  if (it == values.end()) return fallback;
  try {
    return std::clamp(std::stol(it->second), -kMaximumConfiguredFrames, kMaximumConfiguredFrames);
  } catch (...) {
    return fallback;
  }
}

Settings readSettings(const char* path) {
  const auto values = readKeyValues(path);
  const auto text = [&](const char* key) {
    const auto it = values.find(key);
    return it == values.end() ? std::string() : it->second;
  };
  Settings s;
  s.delayFrames = std::max(0L, boundedNumber(values, "delay_frames", 0));
  s.chunkFrames = std::max(1L, boundedNumber(values, "chunk_frames", 1));
  s.transitionFrames = std::max(0L, boundedNumber(values, "transition_frames", 1024));
  s.transitionValue = boundedNumber(values, "transition_value", 0x1234);
  s.successStatus = static_cast<int>(boundedNumber(values, "success_status", 0));
  s.failureStatus = static_cast<int>(boundedNumber(values, "failure_status", 2));
  s.fail = text("fail");
  s.failAt = boundedNumber(values, "fail_at", 1);
  s.fault = text("fault");
  s.faultAt = boundedNumber(values, "fault_at", 1);
  s.nullHandle = text("null_handle") == "1";
  s.log = text("log");
  s.inputDump = text("input_dump");
  return s;
}

void logLine(const Settings& settings, const std::string& line) {
  if (settings.log.empty()) return;
  std::ofstream out(settings.log, std::ios::app);
  out << line << '\n';
}

bool failsNow(const Settings& settings, const char* function, long call) {
  return settings.fail == function && settings.failAt == call;
}

void pushFrames(Engine& engine, long count, std::int16_t value) {
  for (long i = 0; i < count; ++i) engine.pending.push_back(Frame{value, value});
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int VSPCreate(void** handle, const char* configurationPath) {
  if (handle == nullptr || configurationPath == nullptr) return 2;
  Settings settings = readSettings(configurationPath);
  std::array<char, 4096> cwd{};
  const char* where = getcwd(cwd.data(), cwd.size()) ? cwd.data() : "?";
  logLine(settings, std::string("create config=") + configurationPath + " cwd=" + where +
                        " threads=" + std::to_string(vx41StandinRuntimeThreadCount()));
  const bool fails = failsNow(settings, "create", 1);
  if (settings.nullHandle) {
    *handle = nullptr;
    return fails ? settings.failureStatus : settings.successStatus;
  }
  auto* engine = new (std::nothrow) Engine{};
  if (engine == nullptr) return 2;
  engine->settings = std::move(settings);
  pushFrames(*engine, engine->settings.delayFrames, 0);
  // A failed creation still hands back its half-made instance, for the caller to release.
  *handle = engine;
  return fails ? engine->settings.failureStatus : engine->settings.successStatus;
}

__attribute__((visibility("default"))) int VSPSetParam(void* handle, std::uint32_t parameter,
                                                       const std::int32_t* value) {
  auto* engine = static_cast<Engine*>(handle);
  if (engine == nullptr || value == nullptr) return 2;
  const Settings& s = engine->settings;
  logLine(s, "set-param id=" + std::to_string(parameter) + " value=" + std::to_string(*value));
  if (failsNow(s, "set-param", ++engine->setParamCalls)) return s.failureStatus;
  if (parameter != kPickupModeParameter || (*value != 0 && *value != 2)) return 2;
  if (engine->fedAudio) {
    engine->pending.clear();
    pushFrames(*engine, s.transitionFrames, static_cast<std::int16_t>(s.transitionValue));
    pushFrames(*engine, s.delayFrames, 0);
    engine->releasable = s.transitionFrames;
  }
  return s.successStatus;
}

__attribute__((visibility("default"))) int VSPAppendAudioData(void* handle, const float* samples,
                                                              std::int32_t frameCount) {
  auto* engine = static_cast<Engine*>(handle);
  if (engine == nullptr || samples == nullptr) return 2;
  const Settings& s = engine->settings;
  logLine(s, "append frames=" + std::to_string(frameCount));
  if (failsNow(s, "append", ++engine->appendCalls)) return s.failureStatus;
  if (frameCount != kBlockFrames) return 2;
  if (!s.inputDump.empty()) {
    std::ofstream dump(s.inputDump, std::ios::app | std::ios::binary);
    dump.write(reinterpret_cast<const char*>(samples), sizeof(float) * 2 * kBlockFrames);
  }
  for (std::int32_t i = 0; i < frameCount; ++i) {
    engine->pending.push_back(Frame{vx41StandinRoundSample(samples[2 * i]),
                                       vx41StandinRoundSample(samples[2 * i + 1])});
  }
  engine->releasable += frameCount;
  engine->fedAudio = true;
  return s.successStatus;
}

__attribute__((visibility("default"))) int VSPRunStep(void* handle, std::int16_t** output,
                                                      std::int32_t* lengths, std::int16_t* kind) {
  auto* engine = static_cast<Engine*>(handle);
  if (engine == nullptr || output == nullptr || lengths == nullptr || kind == nullptr) return 2;
  const Settings& s = engine->settings;
  const long call = ++engine->runCalls;
  if (failsNow(s, "run", call)) {
    logLine(s, "run failed");
    return s.failureStatus;
  }

  const long ready = engine->releasable / s.chunkFrames * s.chunkFrames;
  engine->releasable -= ready;
  const std::string fault = s.faultAt == call ? s.fault : std::string();
  if (fault == "extra-frames") pushFrames(*engine, 256, 0x0BAD);
  const long count = std::min(static_cast<long>(engine->pending.size()),
                              fault == "extra-frames" ? ready + 256 : ready);

  engine->planes.assign(static_cast<std::size_t>(2 * count), 0);
  for (long j = 0; j < count; ++j) {
    engine->planes[static_cast<std::size_t>(j)] = engine->pending.front().first;
    engine->planes[static_cast<std::size_t>(count + j)] = engine->pending.front().second;
    engine->pending.pop_front();
  }

  *kind = count > 0 ? 2 : 0;
  *output = count > 0 ? engine->planes.data() : nullptr;
  lengths[0] = static_cast<std::int32_t>(count);
  lengths[1] = lengths[0];
  if (fault == "kind-1") *kind = 1;
  if (fault == "unequal-lengths") {
    *kind = 2;
    lengths[1] = lengths[0] + 1;
  }
  if (fault == "null-output") {
    *kind = 2;
    *output = nullptr;
  }
  if (fault == "negative-length") {
    *kind = 2;
    lengths[0] = lengths[1] = -1;
  }
  if (fault == "kind-0-with-data") {
    *kind = 0;
    lengths[0] = 1;
  }
  logLine(s, "run kind=" + std::to_string(*kind) + " frames=" + std::to_string(lengths[0]));
  return s.successStatus;
}

__attribute__((visibility("default"))) int VSPDel(void* handle) {
  auto* engine = static_cast<Engine*>(handle);
  if (engine == nullptr) return 2;
  logLine(engine->settings, "del");
  delete engine;
  return 0;
}

}  // extern "C"
