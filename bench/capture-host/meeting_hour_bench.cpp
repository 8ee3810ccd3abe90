// The whole capture host during a simulated meeting recording: a process tap at 48 kHz stereo
// and a microphone at 44.1 kHz, both delivering tones, recorded for an hour of virtual time.
// Reports CPU seconds per second of audio (host, simulated sources and the virtual-time
// scheduler together, so an upper bound for the host) and the resident memory at the start and
// the end of the hour, sampled every ten minutes.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
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
  void writeLine(std::string_view) override { ++lines; }
  std::size_t lines = 0;
};

void BM_MeetingRecordingHour(benchmark::State& state) {
  for (auto _ : state) {
    char path[] = "/tmp/orvix-capture-bench-XXXXXX";
    if (::mkdtemp(path) == nullptr) {
      state.SkipWithError("no temporary directory");
      return;
    }
    const std::string output = std::string(path) + "/meeting.pcm";
    VirtualTimeSource time;
    auto loaded = platform::simulated::loadAudioScenario("default");
    platform::simulated::SimulatedAudioWorld world(
        time, std::get<platform::simulated::AudioScenario>(loaded));
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
    std::remove((output + ".system.pcm").c_str());
    std::remove((output + ".microphone.pcm").c_str());
    ::rmdir(path);
  }
}
BENCHMARK(BM_MeetingRecordingHour)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
