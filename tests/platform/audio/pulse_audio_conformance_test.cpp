// The audio conformance suite on the PulseAudio binding, against a private server with a tone
// playing into its speaker and another into its microphone.
#include <thread>

#include "common/time/real_time_source.h"
#include "platform/audio/audio_conformance.h"
#include "platform/linux/audio/pulse_audio.h"
#include "support/pulse_server.h"

namespace orvix::platform::testing {

namespace {

using orvix::testing::PulseServer;
using orvix::testing::TonePlayer;

class PulseWorldUnderTest final : public AudioWorldUnderTest {
 public:
  PulseWorldUnderTest()
      : speaker_(server_.address(), "spk", 440, TonePlayer::kSteady),
        microphone_(server_.address(), "micfeed", 1000, TonePlayer::kSteady),
        binding_(time_, server_.address()) {
    EXPECT_TRUE(server_.warmUp("spk.monitor"));
    EXPECT_TRUE(server_.warmUp("mic"));
  }

  Audio audio() override { return binding_.audio(); }
  TimeSource& time() override { return time_; }
  void pass(Duration duration) override { std::this_thread::sleep_for(duration); }
  // A new default output is followed inside the stream; the server going away is what the
  // system ends a stream for.
  void stopStreamBySystem() override {
    server_.kill();
    server_.start();
  }
  void changeDefaultInput() override {
    usingMonitor_ = !usingMonitor_;
    EXPECT_TRUE(server_.control({"set-default-source", usingMonitor_ ? "micfeed.monitor" : "mic"}));
  }
  void removeInputDevice() override {
    EXPECT_TRUE(server_.removeMicrophones());
  }
  void removeOutputDevice() override {
    EXPECT_TRUE(server_.removeSpeakers());
  }

 private:
  PulseServer server_;
  TonePlayer speaker_;
  TonePlayer microphone_;
  RealTimeSource time_;
  pulse::PulseAudio binding_;
  bool usingMonitor_ = false;
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(PulseAudio, AudioConformanceTest,
                         ::testing::Values(AudioWorldFactory{
                             "pulse", [] { return std::make_unique<PulseWorldUnderTest>(); }}),
                         worldName);

}  // namespace orvix::platform::testing
