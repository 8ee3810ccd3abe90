#pragma once

// What every audio binding promises the capture host, checked the same way on each: the
// simulated world on virtual time and the real bindings against a server the tests start.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "common/time/time_source.h"
#include "platform/audio.h"

namespace orvix::platform::testing {

// One audio world under test. The system plays a 440 Hz tone, the microphone hears 1 kHz.
class AudioWorldUnderTest {
 public:
  virtual ~AudioWorldUnderTest() = default;
  virtual Audio audio() = 0;
  virtual TimeSource& time() = 0;
  // Lets `duration` pass: virtual time moves, or the test waits for real.
  virtual void pass(Duration duration) = 0;
  // The system ends the running stream in the way it reports as worth a new one.
  virtual void stopStreamBySystem() = 0;
  // The user picks another microphone.
  virtual void changeDefaultInput() = 0;
  // The machine is left without an input device.
  virtual void removeInputDevice() = 0;
  // The machine is left with nothing that plays audio.
  virtual void removeOutputDevice() = 0;
};

struct AudioWorldFactory {
  std::string name;
  std::function<std::unique_ptr<AudioWorldUnderTest>()> make;
};

class AudioConformanceTest : public ::testing::TestWithParam<AudioWorldFactory> {
 protected:
  void SetUp() override { world = GetParam().make(); }
  void TearDown() override { world.reset(); }

  // Waits in small steps until `done` holds or `patience` has passed.
  bool eventually(const std::function<bool()>& done, Duration patience);

  std::unique_ptr<AudioWorldUnderTest> world;
};

// Names the world in test listings instead of gtest's byte dump of the factory.
inline void PrintTo(const AudioWorldFactory& factory, std::ostream* out) { *out << factory.name; }

inline std::string worldName(const ::testing::TestParamInfo<AudioWorldFactory>& info) {
  return info.param.name;
}

}  // namespace orvix::platform::testing
