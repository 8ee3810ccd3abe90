// The whole capture host during a simulated meeting recording: a process tap at 48 kHz stereo
// and a microphone at 44.1 kHz, recorded for an hour of virtual time. Reports CPU seconds per
// second of audio (host, simulated sources and the virtual-time scheduler together, so an upper
// bound for the host) and the resident memory at the start and the end of the hour, sampled
// every ten minutes.
//
// The first hour is quiet: both devices play tones. In the second the default input changes
// every 10 minutes (to another format and back), the microphone stalls for 3 s every 15, and
// the devices' clocks are 60 ppm apart; both play ticks at every whole second of the machine's
// clock, and the largest distance between a tick in one track file and the same tick in the
// other is the tracks' largest misalignment over the hour. In the third the clocks are 420 ppm
// apart (the microphone 300 fast, the system device 120 slow) and every capture stamp wobbles by
// up to 3 ms: besides the misalignment (from the tenth second, once the drift is learnt), the
// spliced runs: tick spacings in either file more than 4 samples off a second, where samples
// were inserted or cut instead of the rate being steered.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>

#include "OrvixAudioCaptureHost/capture_host.h"
#include "common/line_sink.h"
#include "common/time/virtual_time_source.h"
#include "platform/simulated/audio/simulated_audio_world.h"
#include "platform/simulated/audio/tick_reader.h"

namespace {

using namespace orvix;
using namespace std::chrono_literals;

double processCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double residentMebibytes() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0;
  long resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

// Keeps no lines: an hour of progress events would otherwise be the memory being measured.
class CountingSink final : public LineSink {
 public:
  void writeLine(std::string_view line) override {
    ++lines;
    if (line.find("recording.microphone") != std::string_view::npos) ++microphoneEvents;
  }
  std::size_t lines = 0;
  std::size_t microphoneEvents = 0;
};

platform::simulated::AudioScenario troubledMeeting() {
  using platform::simulated::SignalSpec;
  auto scenario = std::get<platform::simulated::AudioScenario>(
      platform::simulated::loadAudioScenario("default"));
  const SignalSpec ticks{SignalSpec::Kind::ticks, 1, 0.5};
  scenario.processTap.source.signal = ticks;
  scenario.processTap.source.driftPpm = -20;
  auto& microphone = scenario.microphone;
  microphone.source.signal = ticks;
  microphone.source.driftPpm = 40;
  for (int minute = 10; minute < 60; minute += 10) {
    auto device = microphone.source;
    if (minute % 20 == 10) device.format = platform::AudioFormat{48000, 2};
    microphone.defaultInputChanges.push_back({std::chrono::minutes(minute), device});
  }
  for (int quarter = 0; quarter < 4; ++quarter) {
    microphone.stalls.push_back({std::chrono::seconds(450 + 900 * quarter), 3s});
  }
  return scenario;
}

platform::simulated::AudioScenario driftingMeeting() {
  using platform::simulated::SignalSpec;
  auto scenario = std::get<platform::simulated::AudioScenario>(
      platform::simulated::loadAudioScenario("default"));
  for (auto* source : {&scenario.processTap.source, &scenario.microphone.source}) {
    source->signal = SignalSpec{SignalSpec::Kind::ticks, 1, 0.5};
    source->stampJitter = 3ms;
  }
  scenario.processTap.source.driftPpm = -120;
  scenario.microphone.source.driftPpm = 300;
  return scenario;
}

std::size_t splicedRuns(const std::vector<std::int64_t>& ticks) {
  std::size_t spliced = 0;
  for (std::size_t i = 2; i < ticks.size(); ++i) {
    spliced += std::llabs(ticks[i] - ticks[i - 1] - 16000) > 4;
  }
  return spliced;
}

void runMeetingHour(benchmark::State& state, const platform::simulated::AudioScenario& scenario,
                    bool measureAlignment, std::size_t learntSeconds = 0) {
  for (auto _ : state) {
    char path[] = "/tmp/orvix-capture-bench-XXXXXX";
    if (::mkdtemp(path) == nullptr) {
      state.SkipWithError("no temporary directory");
      return;
    }
    const std::string output = std::string(path) + "/meeting.pcm";
    VirtualTimeSource time;
    platform::simulated::SimulatedAudioWorld world(time, scenario);
    CountingSink sink;
    std::mutex mutex;
    std::optional<int> status;
    capture::CaptureHost host(world.audio(), time, sink, [&](int code) {
      std::lock_guard lock(mutex);
      status = code;
    });
    std::vector<std::string_view> arguments = {
        "--session-id",         "bench", "--output", output, "--mode", "meeting",
        "--microphone-enabled", "true"};
    host.start(arguments);
    time.advanceBy(1s);
    const double cpuStart = processCpuSeconds();
    double rssStart = residentMebibytes();
    double rssPeak = rssStart;
    for (int minute = 0; minute < 60; ++minute) {
      time.advanceBy(60s);
      if (minute == 9) rssStart = residentMebibytes();  // after the first ten minutes settle
      if (minute % 10 == 9) rssPeak = std::max(rssPeak, residentMebibytes());
    }
    const double cpu = processCpuSeconds() - cpuStart;
    const double rssEnd = residentMebibytes();
    host.handleLine(R"({"schemaVersion":1,"command":"stop"})");
    for (int i = 0; i < 600; ++i) {
      {
        std::lock_guard lock(mutex);
        if (status) break;
      }
      time.advanceBy(100ms);
    }
    state.counters["cpu_percent_of_core"] = cpu / 3600.0 * 100.0;
    state.counters["rss_after_10min_MiB"] = rssStart;
    state.counters["rss_after_60min_MiB"] = rssEnd;
    state.counters["rss_peak_MiB"] = rssPeak;
    state.counters["events"] = static_cast<double>(sink.lines);
    if (measureAlignment) {
      state.counters["microphone_events"] = static_cast<double>(sink.microphoneEvents);
      const auto system = platform::simulated::tickOnsetsInTrack(output + ".system.pcm");
      const auto microphone = platform::simulated::tickOnsetsInTrack(output + ".microphone.pcm");
      if (!system || !microphone) {
        state.SkipWithError("no track files");
      } else {
        const auto alignment = platform::simulated::tickAlignment(*system, *microphone);
        double largest = 0;
        for (std::size_t i = learntSeconds; i < alignment.pairs; ++i) {
          largest = std::max(largest, std::abs(alignment.offsetsMilliseconds[i]));
        }
        state.counters["ticks_compared"] = static_cast<double>(alignment.pairs);
        state.counters["largest_misalignment_ms"] = largest;
        state.counters["final_misalignment_ms"] =
            alignment.pairs == 0 ? 0 : alignment.offsetsMilliseconds[alignment.pairs - 1];
        state.counters["spliced_runs"] =
            static_cast<double>(splicedRuns(*system) + splicedRuns(*microphone));
      }
    }
    std::remove((output + ".system.pcm").c_str());
    std::remove((output + ".microphone.pcm").c_str());
    ::rmdir(path);
  }
}
void BM_MeetingRecordingHour(benchmark::State& state) {
  runMeetingHour(state,
                 std::get<platform::simulated::AudioScenario>(
                     platform::simulated::loadAudioScenario("default")),
                 false);
}
BENCHMARK(BM_MeetingRecordingHour)->Iterations(1)->Unit(benchmark::kSecond);

void BM_MeetingHourWithRouteChangesAndStalls(benchmark::State& state) {
  runMeetingHour(state, troubledMeeting(), true);
}
BENCHMARK(BM_MeetingHourWithRouteChangesAndStalls)->Iterations(1)->Unit(benchmark::kSecond);

void BM_MeetingHourOfDriftingClocksAndWobblingStamps(benchmark::State& state) {
  runMeetingHour(state, driftingMeeting(), true, 10);
}
BENCHMARK(BM_MeetingHourOfDriftingClocksAndWobblingStamps)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
