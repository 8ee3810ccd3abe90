// The engine binding's counting rules, against an in-process engine whose every answer the test
// chooses. The same rules are checked end to end through the program with the stand-in engine;
// here go the cases a real library cannot be made to produce on demand (write sizes, odd status
// values, a read error at the end of input).
#include "tools/sbc-decoder/vx41_engine_stream.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>

#include "tools/sbc-decoder/fake_vx41_engine.h"
#include "tools/sbc-decoder/memory_streams.h"
#include "tools/sbc-decoder/sbc_test_frames.h"
#include "tools/sbc-decoder/vx41_engine_mode.h"

namespace orvix::sbc_decoder {
namespace {

using testing::CapturingOutputStream;
using ::testing::ElementsAre;
using testing::FakeVx41Engine;
using testing::ScriptedInputStream;
using testing::ScriptedStep;

PcmFrame pcmOf(std::int16_t value) {
  PcmFrame pcm{};
  for (std::size_t i = 0; i < pcm.size(); i += 2) {
    pcm[i] = static_cast<std::byte>(static_cast<std::uint16_t>(value) & 0xFF);
    pcm[i + 1] = static_cast<std::byte>(static_cast<std::uint16_t>(value) >> 8);
  }
  return pcm;
}

class Vx41EngineStreamTest : public ::testing::Test {
 protected:
  Vx41Functions functions = FakeVx41Engine::functions();
  FakeVx41Engine engine;
  CapturingOutputStream output;
  Vx41EngineStream stream{functions, engine.handle(), PickupMode::kOmnidirectional, output};

  std::size_t framesWritten() const { return output.bytes.size() / 4; }
};

TEST_F(Vx41EngineStreamTest, FeedsSamplesAsFloatsOfTheSameValueAndCutsOutputInWritesOf512Frames) {
  engine.steps.push_back(ScriptedStep::planesOf(1300, 5));
  for (int i = 0; i < 4; ++i)
    ASSERT_EQ(stream.append(pcmOf(static_cast<std::int16_t>(-300 + i))), std::nullopt);
  ASSERT_EQ(engine.appendedBlocks.size(), 1u);
  EXPECT_EQ(engine.appendedBlocks[0][0], -300.0f);
  EXPECT_EQ(engine.appendedBlocks[0][1023], -297.0f);
  // 1,300 frames returned, only 512 fed: the write is cut at the frames fed, in one write.
  EXPECT_THAT(output.writeSizes, ElementsAre(2048u));
}

TEST_F(Vx41EngineStreamTest, SplitsLongEngineOutputIntoWritesOfAtMost512Frames) {
  // Nothing for three blocks, then everything at once.
  for (int i = 0; i < 3; ++i) {
    ScriptedStep none;
    none.kind = 0;
    none.nullOutput = true;
    engine.steps.push_back(none);
  }
  engine.steps.push_back(ScriptedStep::planesOf(1800, 9));
  for (int i = 0; i < 16; ++i) ASSERT_EQ(stream.append(pcmOf(1)), std::nullopt);
  EXPECT_THAT(output.writeSizes, ElementsAre(2048u, 2048u, 2048u, 1800u * 4 - 3 * 2048u));
}

TEST_F(Vx41EngineStreamTest, OnlyAStatusAboveOneIsAFailure) {
  for (const int status : {1, -1, std::numeric_limits<int>::min()}) {
    engine.appendStatus = status;
    for (int i = 0; i < 4; ++i) ASSERT_EQ(stream.append(pcmOf(1)), std::nullopt) << status;
  }
  engine.appendStatus = 2;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(stream.append(pcmOf(1)), std::nullopt);
  EXPECT_EQ(stream.append(pcmOf(1)), FailureCode::kAppendFailed);
}

TEST_F(Vx41EngineStreamTest, ChecksEveryShapeOfStepResult) {
  struct Case {
    const char* name;
    ScriptedStep step;
    std::optional<FailureCode> expected;
  };
  ScriptedStep kind0;
  kind0.kind = 0;
  kind0.nullOutput = true;
  kind0.lengths[1] = 77;  // only the first length matters for "nothing"
  ScriptedStep kind0WithPointer = kind0;
  kind0WithPointer.nullOutput = false;
  kind0WithPointer.planes = {0, 0};
  ScriptedStep kind0WithLength = kind0;
  kind0WithLength.lengths[0] = 1;
  ScriptedStep empty = ScriptedStep::planesOf(0, 0);
  empty.planes = {0, 0};  // a valid pointer to no frames
  ScriptedStep kind1 = ScriptedStep::planesOf(512, 1);
  kind1.kind = 1;
  ScriptedStep unequal = ScriptedStep::planesOf(512, 1);
  unequal.lengths[1] = 511;
  ScriptedStep negative = ScriptedStep::planesOf(0, 1);
  negative.lengths[0] = negative.lengths[1] = -4;
  ScriptedStep nullPlanes = ScriptedStep::planesOf(512, 1);
  nullPlanes.nullOutput = true;
  ScriptedStep failed = ScriptedStep::planesOf(512, 1);
  failed.status = 2;

  const std::vector<Case> cases = {
      {"kind 0", kind0, std::nullopt},
      {"kind 0 with a pointer", kind0WithPointer, FailureCode::kOutputInvalid},
      {"kind 0 with a length", kind0WithLength, FailureCode::kOutputInvalid},
      {"kind 2, no frames", empty, std::nullopt},
      {"kind 1", kind1, FailureCode::kOutputInvalid},
      {"unequal lengths", unequal, FailureCode::kOutputInvalid},
      {"negative length", negative, FailureCode::kOutputInvalid},
      {"null planes", nullPlanes, FailureCode::kOutputInvalid},
      {"run failed", failed, FailureCode::kRunFailed},
  };
  for (const auto& c : cases) {
    FakeVx41Engine fresh;
    CapturingOutputStream out;
    Vx41EngineStream s(functions, fresh.handle(), PickupMode::kOmnidirectional, out);
    fresh.steps.push_back(c.step);
    std::optional<FailureCode> result;
    for (int i = 0; i < 4 && !result; ++i) result = s.append(pcmOf(1));
    EXPECT_EQ(result, c.expected) << c.name;
    EXPECT_TRUE(out.bytes.empty()) << c.name;
  }
}

TEST_F(Vx41EngineStreamTest, TheTransitionSkipSpansStepsAndIsNotChargedToTheNewSegment) {
  for (int i = 0; i < 2; ++i) ASSERT_EQ(stream.append(pcmOf(1)), std::nullopt);
  ASSERT_EQ(stream.changeMode(PickupMode::kDirectional), std::nullopt);
  EXPECT_EQ(framesWritten(), 256u);
  output.bytes.clear();

  // 1,024 transition frames arrive as 700 + 700: the first 324 of the second step are kept.
  engine.steps.push_back(ScriptedStep::planesOf(700, 7));
  engine.steps.push_back(ScriptedStep::planesOf(700, 8));
  for (int i = 0; i < 8; ++i) ASSERT_EQ(stream.append(pcmOf(1)), std::nullopt);
  ASSERT_EQ(framesWritten(), 376u);
  EXPECT_EQ(output.bytes[0], std::byte{8});
  EXPECT_THAT(engine.calls, ::testing::Contains("set-param 268435465 2"));
}

// The record loop: ends, read errors and codec failures in engine mode.
class Vx41EngineLoopTest : public ::testing::Test {
 protected:
  std::optional<FailureCode> run(ScriptedInputStream& input) {
    Sbc132Reader reader(input, false, PickupMode::kOmnidirectional);
    auto decoder = SbcFrameDecoder::create();
    Vx41EngineStream stream(functions, engine.handle(), PickupMode::kOmnidirectional, output);
    return decodeThroughEngine(reader, input, *decoder, stream);
  }
  Vx41Functions functions = FakeVx41Engine::functions();
  FakeVx41Engine engine;
  CapturingOutputStream output;
};

TEST_F(Vx41EngineLoopTest, AReadErrorAtTheEndFailsWithoutDraining) {
  ScriptedInputStream input(testing::encodeRecorderFrames(3));
  input.errorAlreadySet();
  EXPECT_EQ(run(input), FailureCode::kInputReadFailed);
  EXPECT_TRUE(engine.calls.empty());
  EXPECT_TRUE(output.bytes.empty());
}

TEST_F(Vx41EngineLoopTest, AReadThatFailsMidStreamIsAnInvalidRecord) {
  ScriptedInputStream input(testing::encodeRecorderFrames(5));
  input.failWhenDrained();
  EXPECT_EQ(run(input), FailureCode::kInputInvalid);
  EXPECT_EQ(output.bytes.size(), 512u * 4);  // the full block went out before the failure
}

}  // namespace
}  // namespace orvix::sbc_decoder
