// The Bluetooth host's costs on the main thread and on the way out:
// - lines per second through handle() for typical commands (validation, dispatch, one answer);
// - lines per second through the output writer into a pipe that a reader drains;
// - the main thread's cost per emitted line while the reader keeps up and while it has stalled,
//   which must be the same: the main thread only appends to the queue (or drops);
// - a recorder streaming 244-byte packets as fast as the simulated link delivers them, through
//   the real batching and output writer into a drained pipe: packets and bytes per second, CPU
//   time per packet, and the delay from a notification to its line at the reader.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "OrvixBleHost/ble_host.h"
#include "OrvixBleHost/ble_host_constants.h"
#include "OrvixBleHost/host_output_writer.h"
#include "common/time/real_time_source.h"
#include "common/time/virtual_time_source.h"
#include "platform/simulated/bluetooth/simulated_bluetooth.h"

namespace {

using namespace orvix;
using namespace orvix::ble_host;

class CountingQueue final : public EventQueue {
 public:
  void enqueue(std::string line) override { bytes += line.size(); }
  bool closeAndFlush(Duration) override { return true; }
  std::size_t bytes = 0;
};

platform::simulated::BluetoothScenario allowedWorld() {
  platform::simulated::BluetoothScenario scenario;
  platform::simulated::SimulatedDevice recorder;
  recorder.identifier = *parseUuid("5A3C9E7B-1D2F-4A6B-8C0D-2E4F6A8B0C1D");
  recorder.advertisingInterval = Duration::zero();
  recorder.knownToSystem = true;
  scenario.devices.push_back(recorder);
  return scenario;
}

// One host on the simulated stack, permission granted, fed the same line again and again.
void handleLine(benchmark::State& state, const std::string& line) {
  VirtualTimeSource time;
  platform::simulated::SimulatedBluetooth bluetooth(time, allowedWorld());
  CountingQueue queue;
  BleHost host(bluetooth, time.mainLoop(), queue, [](int) {});
  host.start();
  time.runUntilIdle();
  for (auto _ : state) host.handle(line);
  state.SetItemsProcessed(state.iterations());
  state.counters["outBytesPerLine"] = benchmark::Counter(static_cast<double>(queue.bytes) /
                                                         static_cast<double>(state.iterations()));
}

void BM_HandleScanStopMismatch(benchmark::State& state) {
  handleLine(
      state,
      R"({"schemaVersion":1,"command":"scan.stop","requestId":"req-0001","scanId":"scan-0001"})");
}
void BM_HandlePermissionRefresh(benchmark::State& state) {
  handleLine(
      state,
      R"({"schemaVersion":1,"command":"permission.refresh","requestId":"req-0001","requestAuthorization":false})");
}
void BM_HandlePreferredScanStart(benchmark::State& state) {
  // Each start cancels the previous scan and reports the recorder from the system's records.
  handleLine(
      state,
      R"({"schemaVersion":1,"command":"scan.start","requestId":"req-0001","scanId":"scan-0001","timeoutMs":5000,"preferredCandidateId":"5a3c9e7b-1d2f-4a6b-8c0d-2e4f6a8b0c1d"})");
}
void BM_HandleWriteUnconnected(benchmark::State& state) {
  handleLine(
      state,
      R"({"schemaVersion":1,"command":"write","requestId":"req-0001","connectionId":"conn-1","dataBase64":"AQIDBAUGBwgJCgsMDQ4PEA==","writeType":"with-response"})");
}
void BM_HandleInvalidLine(benchmark::State& state) { handleLine(state, R"({"schemaVersion":2})"); }
BENCHMARK(BM_HandleScanStopMismatch);
BENCHMARK(BM_HandlePermissionRefresh);
BENCHMARK(BM_HandlePreferredScanStart);
BENCHMARK(BM_HandleWriteUnconnected);
BENCHMARK(BM_HandleInvalidLine);

// A typical event line, as "candidate.discovered" writes it.
const std::string kEventLine =
    R"({"candidateId":"5A3C9E7B-1D2F-4A6B-8C0D-2E4F6A8B0C1D","event":"candidate.discovered","nameHint":"Orvix K7 Recorder","orvixNameHint":true,"rssi":-58,"scanId":"scan-1","schemaVersion":1,"serviceAdvertisedHint":true})"
    "\n";

// Lines per second from enqueue to the far end of a pipe, a reader thread draining it.
void BM_WriterToPipe(benchmark::State& state) {
  int fds[2];
  if (pipe(fds) != 0) {
    state.SkipWithError("pipe");
    return;
  }
  std::atomic<std::size_t> received{0};
  std::thread reader([&] {
    char buffer[65536];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
      received += static_cast<std::size_t>(n);
  });
  RealTimeSource threads;
  FileDescriptorLineSink sink(fds[1]);
  std::size_t sent = 0;
  {
    HostOutputWriter writer(sink);
    writer.start(threads);
    for (auto _ : state) {
      // Paced so the queue never drops: the reader keeps up.
      for (int i = 0; i < 1000; ++i) writer.enqueue(kEventLine);
      sent += 1000 * kEventLine.size();
      while (received.load() < sent) std::this_thread::yield();
    }
    writer.closeAndFlush(std::chrono::seconds(10));
  }
  close(fds[1]);
  reader.join();
  close(fds[0]);
  state.SetItemsProcessed(state.iterations() * 1000);
  state.SetBytesProcessed(static_cast<std::int64_t>(sent));
}
BENCHMARK(BM_WriterToPipe)->UseRealTime();

// Blocks the output thread in its first write until the benchmark ends: a stalled reader.
class StalledSink final : public LineSink {
 public:
  void writeLine(std::string_view) override {
    std::unique_lock guard(mutex_);
    released_.wait(guard, [this] { return open_; });
  }
  void release() {
    std::lock_guard guard(mutex_);
    open_ = true;
    released_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  bool open_ = false;
};

class DiscardingSink final : public LineSink {
 public:
  void writeLine(std::string_view line) override { benchmark::DoNotOptimize(line.data()); }
};

// The main thread's time per enqueue. Arg 0: the reader keeps up; arg 1: it has stalled, so
// after 2,048 lines every further line is dropped.
void BM_EmitCost(benchmark::State& state) {
  RealTimeSource threads;
  DiscardingSink fast;
  StalledSink stalled;
  const bool stall = state.range(0) == 1;
  {
    HostOutputWriter writer(stall ? static_cast<LineSink&>(stalled) : fast);
    writer.start(threads);
    for (auto _ : state) writer.enqueue(kEventLine);
    state.counters["pendingAtEnd"] = static_cast<double>(writer.pendingLines());
    stalled.release();
    writer.closeAndFlush(std::chrono::seconds(10));
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(stall ? "reader stalled" : "reader keeps up");
}
BENCHMARK(BM_EmitCost)->Arg(0)->Arg(1);

// A connected recorder whose stream the benchmark drives packet by packet.
platform::simulated::BluetoothScenario streamingWorld() {
  auto scenario = allowedWorld();
  auto& recorder = scenario.devices.front();
  recorder.advertisingInterval = std::chrono::milliseconds(100);
  recorder.gattServices = {serviceUUID};
  for (const auto& [uuid, properties] : {std::pair{rxUUID, platform::kPropertyWrite},
                                         std::pair{commandUUID, platform::kPropertyNotify},
                                         std::pair{streamUUID, platform::kPropertyNotify}}) {
    platform::simulated::SimulatedCharacteristicSpec spec;
    spec.service = serviceUUID;
    spec.uuid = uuid;
    spec.properties = properties;
    recorder.characteristics.push_back(spec);
  }
  return scenario;
}

double processCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Each iteration: 1,000 packets notified back to back and carried to the reader's end of the
// pipe. Five packets close a batch at once, so the delay measured is the host's own work and
// the pipe; the batch delay's bound is checked by the tests on virtual time.
void BM_StreamToPipe(benchmark::State& state) {
  int fds[2];
  if (pipe(fds) != 0) {
    state.SkipWithError("pipe");
    return;
  }
  using Clock = std::chrono::steady_clock;
  std::atomic<std::size_t> linesReceived{0};
  std::vector<Clock::time_point> arrivals;
  arrivals.reserve(1 << 20);
  std::thread reader([&] {
    char buffer[65536];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) {
      const auto now = Clock::now();
      const auto lines = static_cast<std::size_t>(std::count(buffer, buffer + n, '\n'));
      for (std::size_t i = 0; i < lines && arrivals.size() < arrivals.capacity(); ++i) {
        arrivals.push_back(now);
      }
      linesReceived += lines;
    }
  });
  RealTimeSource threads;
  FileDescriptorLineSink sink(fds[1]);
  VirtualTimeSource time;
  platform::simulated::SimulatedBluetooth bluetooth(time, streamingWorld());
  std::vector<Clock::time_point> batchStarts;
  batchStarts.reserve(1 << 20);
  std::size_t packets = 0;
  double cpu = 0;
  {
    HostOutputWriter writer(sink);
    writer.start(threads);
    BleHost host(bluetooth, time.mainLoop(), writer, [](int) {});
    host.start();
    time.runUntilIdle();
    host.handle(
        R"({"schemaVersion":1,"command":"scan.start","requestId":"s","scanId":"s","timeoutMs":5000})");
    time.advanceBy(std::chrono::milliseconds(150));
    host.handle(
        R"({"schemaVersion":1,"command":"connect","requestId":"c","candidateId":"5A3C9E7B-1D2F-4A6B-8C0D-2E4F6A8B0C1D","connectionId":"bench"})");
    time.runUntilIdle();
    while (linesReceived.load() < 4) std::this_thread::yield();  // ready, states, scan, gatt
    const std::size_t before = linesReceived.load();
    auto& recorder = *bluetooth.peripheral(*parseUuid("5A3C9E7B-1D2F-4A6B-8C0D-2E4F6A8B0C1D"));
    const std::vector<std::uint8_t> packet(244, 0x5a);
    const double cpuStart = processCpuSeconds();
    std::size_t batches = 0;
    for (auto _ : state) {
      for (int i = 0; i < 1000; ++i) {
        if (i % 5 == 0 && batchStarts.size() < batchStarts.capacity()) {
          batchStarts.push_back(Clock::now());
        }
        recorder.simulateNotification(streamUUID, packet);
        time.runUntilIdle();
      }
      packets += 1000;
      batches += 200;
      while (linesReceived.load() < before + batches) std::this_thread::yield();
    }
    cpu = processCpuSeconds() - cpuStart;
    writer.closeAndFlush(std::chrono::seconds(10));
    host.handle(
        R"({"schemaVersion":1,"command":"disconnect","requestId":"d","connectionId":"bench"})");
    time.runUntilIdle();
    close(fds[1]);
    reader.join();
    close(fds[0]);
    std::vector<double> delays;
    for (std::size_t i = 0; i < batchStarts.size() && before + i < arrivals.size(); ++i) {
      delays.push_back(
          std::chrono::duration<double, std::micro>(arrivals[before + i] - batchStarts[i]).count());
    }
    std::sort(delays.begin(), delays.end());
    if (!delays.empty()) {
      state.counters["delayMedianUs"] = delays[delays.size() / 2];
      state.counters["delayP99Us"] = delays[delays.size() * 99 / 100];
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(packets));
  state.SetBytesProcessed(static_cast<std::int64_t>(packets * 244));
  state.counters["packetsPerSecond"] =
      benchmark::Counter(static_cast<double>(packets), benchmark::Counter::kIsRate);
  state.counters["cpuUsPerPacket"] =
      cpu * 1e6 / static_cast<double>(std::max<std::size_t>(packets, 1));
}
BENCHMARK(BM_StreamToPipe)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
