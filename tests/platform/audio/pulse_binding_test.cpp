// What the PulseAudio binding does beyond the shared promises, on a private server: it follows
// the default output inside a running stream, and a microphone stream that dies is news for the
// default-input listeners.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <mutex>
#include <thread>
#include <variant>

#include "common/time/real_time_source.h"
#include "platform/linux/audio/pulse_audio.h"
#include "support/pulse_server.h"

namespace orvix::platform::pulse {

namespace {

using namespace std::chrono_literals;
using orvix::testing::PulseServer;
using orvix::testing::TonePlayer;
using orvix::testing::eventually;

constexpr auto kPatience = 5s;

// Keeps what a system-audio client must judge a switch by: the stops, the frames, the stamps'
// span, and the longest run of exact zeros (a tone crosses zero between samples, never on a
// run of them).
class SwitchWatcher final : public ScreenCaptureStreamClient {
 public:
  void streamDidOutputAudio(ScreenCaptureStream&, const AudioSampleBuffer& buffer) override {
    if (!buffer.format || buffer.planes == nullptr) return;
    std::lock_guard lock(mutex_);
    const auto* samples = static_cast<const float*>(buffer.planes[0]);
    const std::size_t step = buffer.format->samplesPerFrameInPlane();
    for (std::size_t i = 0; i < buffer.sampleCount; ++i) {
      zeroRun_ = samples[i * step] == 0.0F ? zeroRun_ + 1 : 0;
      if (frames_ > 0) longestZeroRun_ = std::max(longestZeroRun_, zeroRun_);
      ++frames_;
    }
    rate_ = buffer.format->sampleRate;
    if (buffer.presentationTime && !firstStamp_) firstStamp_ = buffer.presentationTime;
    if (buffer.presentationTime) {
      end_ = static_cast<double>(*buffer.presentationTime) +
             static_cast<double>(buffer.sampleCount) * 1e9 / rate_;
    }
  }
  void streamDidOutputScreen(ScreenCaptureStream&) override {}
  void streamDidStop(ScreenCaptureStream&, StreamStopReason) override {
    std::lock_guard lock(mutex_);
    ++stops_;
  }

  std::size_t frames() {
    std::lock_guard lock(mutex_);
    return frames_;
  }
  void startMeasuring() {
    std::lock_guard lock(mutex_);
    longestZeroRun_ = 0;
  }
  int stops() {
    std::lock_guard lock(mutex_);
    return stops_;
  }
  double longestZeroRunMs() {
    std::lock_guard lock(mutex_);
    return static_cast<double>(longestZeroRun_) * 1000 / rate_;
  }
  // How far the audio delivered falls short of the time its stamps span.
  double missingMs() {
    std::lock_guard lock(mutex_);
    if (!firstStamp_) return 1e9;
    const double spanned = (end_ - static_cast<double>(*firstStamp_)) / 1e6;
    return spanned - static_cast<double>(frames_) * 1000 / rate_;
  }

 private:
  std::mutex mutex_;
  std::size_t frames_ = 0;
  std::size_t zeroRun_ = 0;
  std::size_t longestZeroRun_ = 0;
  double rate_ = 48000;
  std::optional<std::uint64_t> firstStamp_;
  double end_ = 0;
  int stops_ = 0;
};

class PulseBindingTest : public ::testing::Test {
 protected:
  PulseBindingTest() {
    speaker_ = std::make_unique<TonePlayer>(server_.address(), "spk", 440);
    headphones_ = std::make_unique<TonePlayer>(server_.address(), "headphones", 660);
    microphone_ = std::make_unique<TonePlayer>(server_.address(), "micfeed", 1000);
    EXPECT_TRUE(server_.warmUp("spk.monitor"));
    EXPECT_TRUE(server_.warmUp("headphones.monitor"));
    EXPECT_TRUE(server_.warmUp("mic"));
  }

  PulseServer server_;
  std::unique_ptr<TonePlayer> speaker_;
  std::unique_ptr<TonePlayer> headphones_;
  std::unique_ptr<TonePlayer> microphone_;
  RealTimeSource time_;
  PulseAudio binding_{time_, server_.address()};
};

TEST_F(PulseBindingTest, ANewDefaultOutputIsRecordedAtOnceWithoutAStopOrLostTime) {
  auto queue = time_.makeSerialQueue("system-audio");
  SwitchWatcher watcher;
  StreamConfiguration configuration;
  configuration.capturesAudio = true;
  auto stream = binding_.audio().screenCapture.makeStream(configuration, watcher);
  ASSERT_FALSE(stream->addOutput(StreamOutputType::audio, *queue));
  ASSERT_FALSE(stream->startCapture());
  ASSERT_TRUE(eventually([&] { return watcher.frames() > 48000 / 2; }, kPatience));
  watcher.startMeasuring();

  ASSERT_TRUE(server_.control({"set-default-sink", "headphones"}));
  const std::size_t atSwitch = watcher.frames();
  ASSERT_TRUE(eventually([&] { return watcher.frames() > atSwitch + 48000; }, kPatience));
  stream->stopCapture();

  std::cout << "longest silence at the switch: " << watcher.longestZeroRunMs()
            << " ms; track short of its time by " << watcher.missingMs() << " ms\n";
  EXPECT_EQ(watcher.stops(), 0) << "the switch ended the stream";
  // Measured: 18-20 ms of silence on PulseAudio, 11-22 ms on PipeWire: where the two streams'
  // stamps disagree (they overlap, the new one buffering from its connection on). On a loaded
  // machine PipeWire hands a new stream's audio over up to a few graph cycles late, which the
  // arrivals that stamp it cannot tell: 32 to 107 ms there under stress-ng.
  const double longest = server_.kind() == PulseServer::Kind::pipewire ? 120 : 60;
  EXPECT_LT(watcher.longestZeroRunMs(), longest) << "system audio lost to the switch";
  EXPECT_LT(std::abs(watcher.missingMs()), 30) << "the track no longer covers its time";
}

TEST_F(PulseBindingTest, AMicrophoneStreamTheServerEndsIsReportedAsAnInputChange) {
  Microphone& microphone = binding_.audio().microphone;
  auto listenerQueue = time_.makeSerialQueue("input-changes");
  std::atomic<int> changes{0};
  const auto token = microphone.addDefaultInputListener(*listenerQueue, [&] { ++changes; });
  ASSERT_TRUE(token);
  auto engine = microphone.makeEngine();
  std::atomic<int> buffers{0};
  ASSERT_TRUE(engine->installTap(480, [&](const PcmBufferView&) { ++buffers; }));
  ASSERT_TRUE(engine->start());
  ASSERT_TRUE(eventually([&] { return buffers > 10; }, kPatience));

  const auto recordings = server_.clientRecordings();
  ASSERT_EQ(recordings.size(), 1U);
  ASSERT_TRUE(server_.endRecording(recordings.front()));

  EXPECT_TRUE(eventually([&] { return changes > 0; }, kPatience));
  engine->stop();
  microphone.removeDefaultInputListener(*token);
  listenerQueue->sync([] {});
}

}  // namespace

}  // namespace orvix::platform::pulse
