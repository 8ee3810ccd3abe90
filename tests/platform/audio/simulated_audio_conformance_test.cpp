// The audio conformance suite on the simulated world, on virtual time.
#include "common/time/virtual_time_source.h"
#include "platform/audio/audio_conformance.h"
#include "platform/simulated/audio/simulated_audio_world.h"

namespace orvix::platform::testing {

namespace {

class SimulatedWorldUnderTest final : public AudioWorldUnderTest {
 public:
  SimulatedWorldUnderTest() : world_(time_, scenario()) {}

  Audio audio() override { return world_.audio(); }
  TimeSource& time() override { return time_; }
  void pass(Duration duration) override { time_.advanceBy(duration); }
  void stopStreamBySystem() override { world_.simulateStreamStop(true); }
  void changeDefaultInput() override { world_.microphone().simulateDefaultInputChange(); }
  void removeInputDevice() override {
    std::lock_guard lock(world_.specLock());
    world_.spec().microphone.hasInputDevice = false;
  }
  void removeOutputDevice() override {
    std::lock_guard lock(world_.specLock());
    world_.spec().screenCapture.displayCount = 0;
  }

 private:
  static simulated::AudioScenario scenario() {
    simulated::AudioScenario scenario;
    scenario.processTap.available = false;
    scenario.microphone.source.signal.frequency = 1000;
    return scenario;
  }

  VirtualTimeSource time_;
  simulated::SimulatedAudioWorld world_;
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Simulated, AudioConformanceTest,
                         ::testing::Values(AudioWorldFactory{
                             "simulated", [] { return std::make_unique<SimulatedWorldUnderTest>(); }}),
                         worldName);

}  // namespace orvix::platform::testing
