// The audio interfaces' notes for implementers, as test bodies every binding runs.
#include "platform/audio/audio_conformance.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <variant>
#include <vector>

namespace orvix::platform::testing {

namespace {

using namespace std::chrono_literals;

constexpr Duration kPatience = 5s;
constexpr Duration kLongestOutputLead = 250ms;

// Counts sign changes of the first channel: a tone of f Hz crosses zero 2f times a second.
class ToneMeter {
 public:
  void add(const AudioFormat& format, std::size_t frames, const void* const* planes) {
    if (format.kind != SampleKind::float32 || planes == nullptr) return;
    const auto* samples = static_cast<const float*>(planes[0]);
    const std::size_t step = format.samplesPerFrameInPlane();
    for (std::size_t i = 0; i < frames; ++i) {
      const bool negative = samples[i * step] < 0;
      if (frames_ > 0 && negative != negative_) ++crossings_;
      negative_ = negative;
      ++frames_;
    }
    rate_ = format.sampleRate;
  }
  double frequency() const {
    return frames_ == 0 ? 0 : static_cast<double>(crossings_) / 2 / (static_cast<double>(frames_) / rate_);
  }
  std::size_t frames() const { return frames_; }

 private:
  std::size_t frames_ = 0;
  std::size_t crossings_ = 0;
  bool negative_ = false;
  double rate_ = 1;
};

// Checks that buffers carry capture times that advance with their audio and never lie ahead of
// the clock they were delivered at.
// A system-audio stamp may lie ahead of its delivery by up to `lead`: an output's audio can be
// seen before the output plays it (the output's own buffer).
class StampCheck {
 public:
  explicit StampCheck(Duration lead = Duration::zero()) : lead_(static_cast<double>(lead.count())) {}

  void add(std::optional<std::uint64_t> stamp, std::size_t frames, double rate, std::uint64_t now) {
    if (!stamp || !(rate > 0)) {
      ++unstamped_;
      return;
    }
    // A stamp read off a running clock, less a latency the server interpolates, wobbles by a
    // few milliseconds either way on a loaded machine (the host's placement smooths it out).
    constexpr double kWobble = 5e6;
    if (static_cast<double>(*stamp) > static_cast<double>(now) + lead_ + kWobble) ++ahead_;
    if (end_ && static_cast<double>(*stamp) < *end_ - kWobble) ++backwards_;
    end_ = static_cast<double>(*stamp) + static_cast<double>(frames) * 1e9 / rate;
    ++stamped_;
  }
  void expectSound(const char* what) const {
    EXPECT_GT(stamped_, 0) << what;
    EXPECT_EQ(unstamped_, 0) << what;
    EXPECT_EQ(ahead_, 0) << what << ": stamped after it was delivered";
    EXPECT_EQ(backwards_, 0) << what << ": stamps went back in time";
  }

 private:
  double lead_;
  int stamped_ = 0;
  int unstamped_ = 0;
  int ahead_ = 0;
  int backwards_ = 0;
  std::optional<double> end_;
};

class RecordingClient final : public ScreenCaptureStreamClient {
 public:
  RecordingClient(SerialQueue& queue, const Clock& clock) : queue_(queue), clock_(clock) {}

  void streamDidOutputAudio(ScreenCaptureStream&, const AudioSampleBuffer& buffer) override {
    std::lock_guard lock(mutex_);
    ++buffers;
    offQueue += queue_.isCurrent() ? 0 : 1;
    if (buffer.dataReady && buffer.format) {
      meter.add(*buffer.format, buffer.sampleCount, buffer.planes);
      stamps.add(buffer.presentationTime, buffer.sampleCount, buffer.format->sampleRate,
                 clock_.uptimeNanoseconds());
    }
  }
  void streamDidOutputScreen(ScreenCaptureStream&) override {}
  void streamDidStop(ScreenCaptureStream&, StreamStopReason reason) override {
    std::lock_guard lock(mutex_);
    stops.push_back(reason);
  }

  template <typename Read>
  auto read(Read read) {
    std::lock_guard lock(mutex_);
    return read(*this);
  }

  int buffers = 0;
  int offQueue = 0;
  ToneMeter meter;
  StampCheck stamps{kLongestOutputLead};
  std::vector<StreamStopReason> stops;

 private:
  SerialQueue& queue_;
  const Clock& clock_;
  std::mutex mutex_;
};

struct TapRecord {
  std::mutex mutex;
  int buffers = 0;
  bool wrongSize = false;
  ToneMeter meter;
  StampCheck stamps;
};

std::shared_ptr<ScreenCaptureStream> startedStream(Audio audio, RecordingClient& client,
                                                   SerialQueue& queue) {
  auto content = audio.screenCapture.shareableContent();
  const auto* shareable = std::get_if<ShareableContent>(&content);
  if (shareable == nullptr || shareable->displays.empty()) return nullptr;
  StreamConfiguration configuration;
  configuration.display = shareable->displays.front();
  configuration.capturesAudio = true;
  configuration.sampleRate = 16000;
  configuration.channelCount = 1;
  auto stream = audio.screenCapture.makeStream(configuration, client);
  if (!stream || stream->addOutput(StreamOutputType::audio, queue) || stream->startCapture()) {
    return nullptr;
  }
  return stream;
}

}  // namespace

bool AudioConformanceTest::eventually(const std::function<bool()>& done, Duration patience) {
  for (Duration waited{0}; waited < patience; waited += 20ms) {
    if (done()) return true;
    world->pass(20ms);
  }
  return done();
}

TEST_P(AudioConformanceTest, SystemAudioArrivesOnItsQueueAndEndsWithTheClientsStop) {
  auto queue = world->time().makeSerialQueue("conformance-audio");
  RecordingClient client(*queue, world->time().clock());
  auto stream = startedStream(world->audio(), client, *queue);
  ASSERT_NE(stream, nullptr);
  ASSERT_TRUE(eventually([&] { return client.read([](auto& c) { return c.meter.frames(); }) > 0; },
                         kPatience));
  world->pass(1s);
  ASSERT_FALSE(stream->stopCapture());
  const int buffersAtStop = client.read([](auto& c) { return c.buffers; });
  world->pass(300ms);

  client.read([&](auto& c) {
    EXPECT_EQ(c.offQueue, 0);
    EXPECT_NEAR(c.meter.frequency(), 440, 10);
    EXPECT_EQ(c.buffers, buffersAtStop) << "audio after stopCapture returned";
    EXPECT_TRUE(c.stops.empty()) << "didStop reported for the client's own stop";
    return 0;
  });
}

TEST_P(AudioConformanceTest, AStreamTheSystemEndsReportsItOnceAndANewOneRecordsAgain) {
  auto queue = world->time().makeSerialQueue("conformance-audio");
  RecordingClient first(*queue, world->time().clock());
  auto stream = startedStream(world->audio(), first, *queue);
  ASSERT_NE(stream, nullptr);
  ASSERT_TRUE(eventually([&] { return first.read([](auto& c) { return c.buffers; }) > 0; },
                         kPatience));

  world->stopStreamBySystem();
  ASSERT_TRUE(eventually([&] { return !first.read([](auto& c) { return c.stops.empty(); }); },
                         kPatience));
  const int buffersAtStop = first.read([](auto& c) { return c.buffers; });
  world->pass(300ms);
  first.read([&](auto& c) {
    EXPECT_EQ(c.stops, std::vector<StreamStopReason>{StreamStopReason::stoppedBySystem});
    EXPECT_EQ(c.buffers, buffersAtStop);
    return 0;
  });
  stream->stopCapture();

  RecordingClient second(*queue, world->time().clock());
  auto next = startedStream(world->audio(), second, *queue);
  ASSERT_NE(next, nullptr);
  EXPECT_TRUE(eventually([&] { return second.read([](auto& c) { return c.buffers; }) > 0; },
                         kPatience));
  next->stopCapture();
}

TEST_P(AudioConformanceTest, TheMicrophoneTapGetsWholeBuffersOfItsInputUntilStopped) {
  Microphone& microphone = world->audio().microphone;
  ASSERT_EQ(microphone.authorizationStatus(), MicrophoneAuthorization::authorized);
  auto engine = microphone.makeEngine();
  ASSERT_NE(engine, nullptr);
  const auto format = engine->inputFormat();
  ASSERT_TRUE(format && format->channelCount > 0 && format->sampleRate > 0);

  auto record = std::make_shared<TapRecord>();
  ASSERT_TRUE(engine->installTap(1024, [record](const PcmBufferView& buffer) {
    std::lock_guard lock(record->mutex);
    ++record->buffers;
    record->wrongSize |= buffer.frameLength != 1024;
    record->meter.add(buffer.format, buffer.frameLength, buffer.planes);
  }));
  engine->prepare();
  ASSERT_TRUE(engine->start());
  const auto buffers = [&] {
    std::lock_guard lock(record->mutex);
    return record->buffers;
  };
  ASSERT_TRUE(eventually([&] { return buffers() >= 40; }, kPatience));
  engine->stop();
  engine->removeTap();
  const int atStop = buffers();
  world->pass(300ms);

  std::lock_guard lock(record->mutex);
  EXPECT_EQ(record->buffers, atStop) << "buffers after stop returned";
  EXPECT_FALSE(record->wrongSize);
  EXPECT_NEAR(record->meter.frequency(), 1000, 20);
}

TEST_P(AudioConformanceTest, BothSourcesStampTheirBuffersWithCaptureTimesThatAdvanceWithTheAudio) {
  auto queue = world->time().makeSerialQueue("conformance-audio");
  const Clock& clock = world->time().clock();
  RecordingClient client(*queue, clock);
  auto stream = startedStream(world->audio(), client, *queue);
  ASSERT_NE(stream, nullptr);
  auto engine = world->audio().microphone.makeEngine();
  ASSERT_NE(engine, nullptr);
  auto record = std::make_shared<TapRecord>();
  ASSERT_TRUE(engine->installTap(480, [record, &clock](const PcmBufferView& buffer) {
    std::lock_guard lock(record->mutex);
    ++record->buffers;
    record->stamps.add(buffer.captureTime, buffer.frameLength, buffer.format.sampleRate,
                       clock.uptimeNanoseconds());
  }));
  engine->prepare();
  ASSERT_TRUE(engine->start());
  const auto tapBuffers = [&] {
    std::lock_guard lock(record->mutex);
    return record->buffers;
  };
  ASSERT_TRUE(eventually(
      [&] { return tapBuffers() >= 100 && client.read([](auto& c) { return c.buffers; }) >= 50; },
      kPatience));
  engine->stop();
  engine->removeTap();
  stream->stopCapture();

  client.read([](auto& c) {
    c.stamps.expectSound("system audio");
    return 0;
  });
  std::lock_guard lock(record->mutex);
  record->stamps.expectSound("microphone");
}

TEST_P(AudioConformanceTest, DefaultInputChangesReachListenersOnTheirQueueUntilRemoved) {
  Microphone& microphone = world->audio().microphone;
  auto queue = world->time().makeSerialQueue("conformance-route");
  std::atomic<int> changes{0};
  std::atomic<int> offQueue{0};
  const auto token = microphone.addDefaultInputListener(*queue, [&] {
    ++changes;
    if (!queue->isCurrent()) ++offQueue;
  });
  ASSERT_TRUE(token);

  world->changeDefaultInput();
  ASSERT_TRUE(eventually([&] { return changes > 0; }, kPatience));
  microphone.removeDefaultInputListener(*token);
  queue->sync([] {});
  const int atRemoval = changes;
  world->changeDefaultInput();
  world->pass(500ms);
  queue->sync([] {});

  EXPECT_EQ(offQueue, 0);
  EXPECT_EQ(changes, atRemoval) << "a removed listener was still called";
}

TEST_P(AudioConformanceTest, WithoutAnInputDeviceAnEngineHasNoUsableFormat) {
  world->removeInputDevice();
  auto engine = world->audio().microphone.makeEngine();
  ASSERT_NE(engine, nullptr);
  const auto format = engine->inputFormat();
  EXPECT_TRUE(!format || format->channelCount == 0 || !(format->sampleRate > 0));
}

TEST_P(AudioConformanceTest, WithNothingThatPlaysThereIsNothingToCapture) {
  world->removeOutputDevice();
  auto content = world->audio().screenCapture.shareableContent();
  const auto* shareable = std::get_if<ShareableContent>(&content);
  ASSERT_NE(shareable, nullptr);
  EXPECT_TRUE(shareable->displays.empty());
}

}  // namespace orvix::platform::testing
