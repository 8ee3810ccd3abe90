#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "OrvixAudioCaptureHost/capture_host.h"
#include "common/json_wire.h"
#include "common/line_sink.h"
#include "common/time/virtual_time_source.h"
#include "macos/Sources/OrvixAudioCaptureHost/track_file_support.h"
#include "platform/simulated/audio/simulated_audio_world.h"

namespace orvix::capture::testing {

using namespace std::chrono_literals;
using platform::simulated::AudioScenario;
using platform::simulated::ProcessTapStep;
using platform::simulated::SimulatedAudioWorld;

// A world where only the screen-capture stream delivers system audio (no process taps), at
// 16 kHz mono float as configured, and an authorized microphone at 44.1 kHz.
inline AudioScenario screenCaptureOnlyScenario() {
  AudioScenario scenario;
  scenario.processTap.available = false;
  return scenario;
}

// A capture host on a simulated audio world and virtual time. The test's thread is the main
// thread; commands go straight to handleLine.
class CaptureHostTest : public ::testing::Test {
 protected:
  ~CaptureHostTest() override {
    // Whatever a test left running is cancelled and driven to its exit, so no task is still
    // waiting for the main thread when the host is destroyed.
    if (host && host->controller() && !exitStatus()) {
      host->handleLine(R"({"schemaVersion":1,"command":"cancel"})");
      runUntilExit();
    }
    host.reset();
    world.reset();
  }

  void makeWorld(AudioScenario scenario) {
    world = std::make_unique<SimulatedAudioWorld>(time, std::move(scenario));
  }

  // Starts a host with the usual arguments; `extra` pairs are appended.
  std::optional<int> startHost(std::string_view mode, std::string_view microphone = "true",
                               std::vector<std::string_view> extra = {}) {
    if (!world) makeWorld(screenCaptureOnlyScenario());
    host = std::make_unique<CaptureHost>(world->audio(), time, sink, [this](int status) {
      std::lock_guard lock(mutex_);
      exitStatus_ = status;
    });
    std::vector<std::string_view> arguments = {
        "--session-id",         "session-1", "--output", outputPath, "--mode", mode,
        "--microphone-enabled", microphone};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return host->start(arguments);
  }

  // Starts and runs until "recording.started" (at most 5 s of virtual time).
  void startRecording(std::string_view mode, std::string_view microphone = "true") {
    ASSERT_EQ(startHost(mode, microphone), std::nullopt);
    for (int i = 0; i < 500 && named("recording.started").empty(); ++i) advance(10ms);
    ASSERT_EQ(named("recording.started").size(), 1u) << transcript();
  }

  void advance(Duration duration) { time.advanceBy(duration); }

  void send(std::string_view command) {
    host->handleLine(std::string(R"({"schemaVersion":1,"command":")") + std::string(command) +
                     "\"}");
  }
  void sendLine(std::string_view line) { host->handleLine(line); }

  // Runs until the process would exit (at most 10 virtual minutes).
  std::optional<int> runUntilExit() {
    for (int i = 0; i < 6000 && !exitStatus(); ++i) advance(100ms);
    return exitStatus();
  }

  std::optional<int> exitStatus() {
    std::lock_guard lock(mutex_);
    return exitStatus_;
  }

  std::vector<Json> events() const {
    std::vector<Json> parsed;
    for (const auto& line : sink.lines()) {
      parsed.push_back(Json::parse(line.substr(0, line.size() - 1)));
    }
    return parsed;
  }
  std::vector<Json> named(std::string_view name) const {
    std::vector<Json> matching;
    for (auto& event : events()) {
      if (event["event"] == name) matching.push_back(event);
    }
    return matching;
  }
  // Event names in order, progress left out.
  std::vector<std::string> milestones() const {
    std::vector<std::string> names;
    for (auto& event : events()) {
      if (event["event"] != "recording.progress") names.push_back(event["event"]);
    }
    return names;
  }
  std::string transcript() const {
    std::string text;
    for (const auto& line : sink.lines()) {
      if (line.find("recording.progress") == std::string::npos) text += line;
    }
    return text;
  }

  std::string systemPath() const { return outputPath + ".system.pcm"; }
  std::string microphonePath() const { return outputPath + ".microphone.pcm"; }
  std::int64_t systemSamples() { return host->controller()->systemWriter().sampleCount(); }
  std::int64_t microphoneSamples() { return host->controller()->microphoneWriter()->sampleCount(); }

  TemporaryDirectory directory;
  std::string outputPath = directory.file("recording.pcm");
  VirtualTimeSource time;
  std::unique_ptr<SimulatedAudioWorld> world;
  MemoryLineSink sink;
  std::unique_ptr<CaptureHost> host;

 private:
  std::mutex mutex_;
  std::optional<int> exitStatus_;
};

}  // namespace orvix::capture::testing
