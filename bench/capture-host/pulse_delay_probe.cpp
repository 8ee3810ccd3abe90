// Measures the path from speaker to track file: plays a short 1 kHz burst into a PulseAudio
// sink every two seconds (silence between) and watches a growing 16 kHz 16-bit track file for
// each burst's first sample. The delay of a burst is the moment it was seen in the file minus
// the moment the sink played it (the write's moment plus the playback latency libpulse reports).
//
// Usage: pulse_delay_probe SINK TRACK_FILE SECONDS   (the server from PULSE_SERVER)
// Prints the median and the largest delay.
#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kRate = 48000;
constexpr int kChunkFrames = kRate / 200;  // 5 ms
constexpr auto kBurstEvery = 2s;
constexpr auto kBurstLength = 200ms;
// A track sample this loud after a quiet stretch is a burst's start.
constexpr int kLoud = 3000;
constexpr std::size_t kQuietBefore = 16000 / 2;

double milliseconds(Clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: pulse_delay_probe SINK TRACK_FILE SECONDS\n");
    return 2;
  }
  const std::string sink = argv[1];
  const std::string track = argv[2];
  const auto seconds = std::chrono::seconds(std::stoi(argv[3]));

  const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, kRate, 2};
  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<std::uint32_t>(-1);
  attributes.tlength = static_cast<std::uint32_t>(kRate / 50 * 2 * sizeof(float));  // 20 ms
  attributes.prebuf = static_cast<std::uint32_t>(-1);
  attributes.minreq = static_cast<std::uint32_t>(-1);
  int error = 0;
  pa_simple* player = pa_simple_new(nullptr, "delay-probe", PA_STREAM_PLAYBACK, sink.c_str(),
                                    "probe", &spec, nullptr, &attributes, &error);
  if (player == nullptr) {
    std::fprintf(stderr, "pulse_delay_probe: %s\n", pa_strerror(error));
    return 1;
  }

  std::mutex mutex;
  std::vector<Clock::time_point> played;
  std::vector<Clock::time_point> seen;
  std::atomic<bool> done{false};

  // The watcher reads what the host appended since last time, every 2 ms.
  std::thread watcher([&] {
    std::ifstream file;
    std::size_t quiet = 0;
    std::vector<std::int16_t> samples(16000);
    while (!done) {
      if (!file.is_open()) file.open(track, std::ios::binary);
      if (file.is_open()) {
        file.clear();
        file.read(reinterpret_cast<char*>(samples.data()),
                  static_cast<std::streamsize>(samples.size() * 2));
        const auto count = static_cast<std::size_t>(file.gcount()) / 2;
        const auto now = Clock::now();
        for (std::size_t i = 0; i < count; ++i) {
          if (std::abs(samples[i]) < kLoud) {
            ++quiet;
            continue;
          }
          if (quiet >= kQuietBefore) {
            std::lock_guard lock(mutex);
            seen.push_back(now);
          }
          quiet = 0;
        }
      }
      std::this_thread::sleep_for(2ms);
    }
  });

  std::vector<float> chunk(kChunkFrames * 2);
  const auto start = Clock::now();
  auto nextBurst = start + 1s;
  std::int64_t burstFrame = -1;
  while (Clock::now() - start < seconds) {
    const bool starting = burstFrame < 0 && Clock::now() >= nextBurst;
    if (starting) burstFrame = 0;
    for (int i = 0; i < kChunkFrames; ++i) {
      float value = 0;
      if (burstFrame >= 0) {
        value = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 1000 *
                                                  static_cast<double>(burstFrame) / kRate));
        if (++burstFrame >= kRate * kBurstLength.count() / 1000) burstFrame = -1;
      }
      chunk[2 * static_cast<std::size_t>(i)] = value;
      chunk[2 * static_cast<std::size_t>(i) + 1] = value;
    }
    if (pa_simple_write(player, chunk.data(), chunk.size() * sizeof(float), &error) < 0) break;
    if (starting) {
      // The latency covers everything written so far; this chunk's first frame plays one chunk
      // earlier than its last.
      const pa_usec_t latency = pa_simple_get_latency(player, &error);
      const auto chunkLength = std::chrono::microseconds(1'000'000LL * kChunkFrames / kRate);
      std::lock_guard lock(mutex);
      played.push_back(Clock::now() + std::chrono::microseconds(latency) - chunkLength);
      nextBurst += kBurstEvery;
    }
  }
  std::this_thread::sleep_for(1s);
  done = true;
  watcher.join();
  pa_simple_free(player);

  std::vector<double> delays;
  for (std::size_t i = 0; i < std::min(played.size(), seen.size()); ++i) {
    delays.push_back(milliseconds(seen[i] - played[i]));
  }
  if (delays.empty()) {
    std::printf("  no burst reached the track file\n");
    return 1;
  }
  std::sort(delays.begin(), delays.end());
  std::printf("  end-to-end delay: median %.1f ms, smallest %.1f ms, largest %.1f ms "
              "(%zu bursts played, %zu seen)\n",
              delays[delays.size() / 2], delays.front(), delays.back(), played.size(), seen.size());
  return 0;
}
