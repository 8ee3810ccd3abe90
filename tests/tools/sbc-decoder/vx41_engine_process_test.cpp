// Engine mode through the real program, with the stand-in engine laid out beside a copy of it as
// the real engine is shipped: how the engine is found and called, every output rule checked
// sample by sample against the bypass decoding, and every VX41 code.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>

#include "tools/sbc-decoder/decoder_test_layout.h"

namespace orvix::sbc_decoder::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

const std::string kFramed = "--input-format=vx41-v1";

class Vx41EngineProgram : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    directory = std::make_unique<TemporaryDirectory>();
    recording = encodeWithPeer(directory->path(), {"-s", "8", "-B", "16", "-b", "58"});
    framesPath = directory->path() / "recording.sbc";
    // The reference every engine output is compared with: the decoder's own bypass output,
    // itself checked against sbcdec in the bypass tests.
    pcm = recording.sbcdecPcm;
  }
  static void TearDownTestSuite() { directory.reset(); }

  static std::string firstFrames(std::size_t count) {
    return recording.frames.substr(0, count * 128);
  }
  static std::string pcmOf(std::size_t fromFrame, std::size_t count) {
    return pcm.substr(fromFrame * 512, count * 512);
  }

  static inline std::unique_ptr<TemporaryDirectory> directory;
  static inline PeerEncodedRecording recording;
  static inline fs::path framesPath;
  static inline std::string pcm;
};

TEST_F(Vx41EngineProgram, OutputIsTheDecodedAudioThroughTheEngineAndExactlyAsLong) {
  ASSERT_EQ(pcm.size(), recording.frameCount() * 512);
  // No delay; a delay; a delay with output only in 1,024-frame pieces (kind 0 in between).
  for (const auto& [delay, chunk] : {std::pair{"0", "1"}, {"300", "1"}, {"700", "1024"}}) {
    EngineLayout layout(EngineSettings{{"delay_frames", delay}, {"chunk_frames", chunk}});
    const ChildResult result = layout.run({framesPath.string()});
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    EXPECT_EQ(result.standardError, "");
    ASSERT_EQ(result.standardOutput.size(), pcm.size()) << "delay " << delay;
    EXPECT_TRUE(result.standardOutput == delayed(pcm, std::stoul(delay))) << "delay " << delay;
  }
}

TEST_F(Vx41EngineProgram, LoadsTheRuntimeGloballyAndCallsTheEngineInOrderWithItsConfiguration) {
  EngineLayout layout;
  const ChildResult result = layout.run({kFramed, "-"}, toRecords(firstFrames(3), {0}));
  EXPECT_EQ(result.exitStatus, 0);
  // Three records: no step while reading, then one with the partial block and two silent ones.
  EXPECT_TRUE(result.standardOutput == pcmOf(0, 3));
  const fs::path configuration =
      fs::canonical(layout.configurationDirectory()) / "vsp_qtrk7_realtime.ini";
  EXPECT_THAT(layout.log(), ElementsAre("create config=" + configuration.string() + " cwd=" +
                                            configuration.parent_path().string() + " threads=1",
                                        "append frames=512", "run kind=2 frames=512",
                                        "append frames=512", "run kind=2 frames=512",
                                        "append frames=512", "run kind=2 frames=512", "del"));
}

TEST_F(Vx41EngineProgram, TheEngineFindsItsOwnDependencyInVx41LibThroughTheProgramsSearchPath) {
  // libvx41_qtr.so needs libvx41_standin_kernels.so, which lies in the copy's vx41/lib and on no
  // library path: only the program's own search path leads the loader there.
  EngineLayout layout;
  const ChildResult result = layout.run({"-"}, firstFrames(4));
  EXPECT_EQ(result.exitStatus, 0) << result.standardError;
  EXPECT_TRUE(result.standardOutput == pcmOf(0, 4));
}

TEST_F(Vx41EngineProgram, ChoosesTheConfigurationByCommandLineModeAndInputKind) {
  struct Case {
    std::vector<std::string> arguments;
    const char* configuration;
  };
  const std::vector<Case> cases = {
      {{framesPath.string()}, "vsp_qtrk7_offline.ini"},
      {{"-"}, "vsp_qtrk7_realtime.ini"},
      {{"--pickup-mode=directional", framesPath.string()}, "vsp_qtrk7_directional.ini"},
      {{"-", "--pickup-mode=directional"}, "vsp_qtrk7_directional.ini"},
  };
  for (const auto& c : cases) {
    EngineLayout layout;
    const ChildResult result = layout.run(c.arguments, firstFrames(4));
    EXPECT_EQ(result.exitStatus, 0);
    ASSERT_FALSE(layout.log().empty());
    EXPECT_THAT(layout.log().front(),
                HasSubstr(std::string("/vx41/resources/cfg/") + c.configuration));
    // A bare stream never changes mode, whatever the command line said.
    EXPECT_THAT(layout.log(), ::testing::Not(::testing::Contains(StartsWith("set-param"))));
  }
}

TEST_F(Vx41EngineProgram, AModeInTheFirstRecordIsSetBeforeAnyAudioAndDiscardsNothing) {
  EngineLayout layout(EngineSettings{{"delay_frames", "200"}});
  writeFile(directory->path() / "directional.sbc132", toRecords(firstFrames(20), {2}));
  const ChildResult changed =
      layout.run({kFramed, (directory->path() / "directional.sbc132").string()});
  EXPECT_EQ(changed.exitStatus, 0) << changed.standardError;
  EXPECT_TRUE(changed.standardOutput == delayed(pcmOf(0, 20), 200));
  const auto log = layout.log();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[1], "set-param id=268435465 value=2");
  EXPECT_EQ(log[2], "append frames=512");
}

TEST_F(Vx41EngineProgram, AModeChangeMidStreamDrainsTheSegmentAndDropsTheTransition) {
  // After 7 records (896 frames, a partial block) then a segment shorter than a block, and after
  // 8 (1,024 frames, whole blocks) then a longer one.
  for (const auto& [before, after] : {std::pair<std::size_t, std::size_t>{7, 1}, {8, 13}}) {
    EngineLayout layout;
    layout.configure({{"delay_frames", "100"}, {"input_dump", layout.inputDumpPath().string()}});
    std::vector<std::uint8_t> modes(before, 0);
    modes.push_back(2);
    const std::size_t total = before + after;
    const ChildResult result = layout.run({kFramed, "-"}, toRecords(firstFrames(total), modes));
    EXPECT_EQ(result.exitStatus, 0) << result.standardError;
    // Each segment comes out exactly as long as it went in, delayed by the engine's delay; the
    // stand-in's 1,024-frame transition marker never reaches the output.
    const std::string expected =
        delayed(pcmOf(0, before), 100) + delayed(pcmOf(before, total - before), 100);
    ASSERT_EQ(result.standardOutput.size(), expected.size()) << before;
    EXPECT_TRUE(result.standardOutput == expected) << before;
    EXPECT_THAT(layout.log(), ::testing::Contains("set-param id=268435465 value=2"));

    // The new segment's last, partial block is padded with silence, not with audio left in the
    // block by the previous segment.
    const std::string dump = readFile(layout.inputDumpPath());
    const std::size_t blockBytes = 1024 * sizeof(float);
    ASSERT_EQ(dump.size() % blockBytes, 0u);
    const std::string lastFed = dump.substr(dump.size() - 3 * blockBytes, blockBytes);
    const std::size_t tailFrames = (total - before) % 4 * 128;
    for (std::size_t i = tailFrames * 2; i < 1024; ++i) {
      float value = 0;
      std::memcpy(&value, lastFed.data() + i * sizeof(float), sizeof value);
      ASSERT_EQ(value, 0.0f) << "sample " << i << " after " << before;
    }
  }
}

TEST_F(Vx41EngineProgram, TrimsAnEngineThatReturnsMoreThanItWasFedAndAcceptsStatusesUpToOne) {
  // Only a status above 1 is a failure: 1 and negative statuses are successes.
  for (const char* status : {"1", "-1"}) {
    EngineLayout layout(
        EngineSettings{{"fault", "extra-frames"}, {"fault_at", "2"}, {"success_status", status}});
    const ChildResult result = layout.run({framesPath.string()});
    EXPECT_EQ(result.exitStatus, 0) << status << " " << result.standardError;
    EXPECT_TRUE(result.standardOutput == pcm) << status;
  }
}

TEST_F(Vx41EngineProgram, ALivePipeComesOutBlockByBlock) {
  EngineLayout layout;
  ChildOptions options;
  options.arguments = {kFramed, "-"};
  options.environment = {{"ORVIX_VX41_BYPASS", std::nullopt}};
  ChildProcess child(layout.program().string(), options);
  const std::string records = toRecords(firstFrames(12), {0});
  for (std::size_t block = 0; block < 2; ++block) {
    child.writeInput(records.substr(block * 4 * 132, 4 * 132));
    ASSERT_TRUE(child.waitForOutput((block + 1) * 2048, 30s)) << "block " << block << " held back";
  }
  child.writeInput(records.substr(8 * 132));
  const ChildResult result = child.finish();
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_TRUE(result.standardOutput == pcmOf(0, 12));
}

struct EngineFailure {
  const char* name;
  EngineSettings settings;
  const char* code;
  bool released;  // VSPDel called

  friend void PrintTo(const EngineFailure& failure, std::ostream* out) { *out << failure.name; }
};

class Vx41EngineFailures : public Vx41EngineProgram,
                           public ::testing::WithParamInterface<EngineFailure> {};

TEST_P(Vx41EngineFailures, PrintsOneCodeReleasesTheEngineAndKeepsWhatWasWritten) {
  const EngineFailure& failure = GetParam();
  EngineLayout layout(failure.settings);
  // 20 records; the mode changes after the eighth so that VSPSetParam is called mid-stream.
  std::vector<std::uint8_t> modes(8, 0);
  modes.push_back(2);
  const ChildResult result = layout.run({kFramed, "-"}, toRecords(firstFrames(20), modes));
  EXPECT_EQ(result.exitStatus, 6);
  EXPECT_EQ(result.standardError, std::string(failure.code) + "\n");
  EXPECT_LE(result.standardOutput.size(), 20u * 512);
  const auto log = layout.log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back() == "del", failure.released);
}

INSTANTIATE_TEST_SUITE_P(
    EveryEngineFailure, Vx41EngineFailures,
    ::testing::Values(
        EngineFailure{"CreateFails", {{"fail", "create"}}, "VX41_CREATE_FAILED", true},
        EngineFailure{"CreateGivesNoHandle", {{"null_handle", "1"}}, "VX41_CREATE_FAILED", false},
        EngineFailure{"SetParamFails", {{"fail", "set-param"}}, "VX41_MODE_CHANGE_FAILED", true},
        EngineFailure{
            "AppendFails", {{"fail", "append"}, {"fail_at", "2"}}, "VX41_APPEND_FAILED", true},
        EngineFailure{"RunFails", {{"fail", "run"}, {"fail_at", "3"}}, "VX41_RUN_FAILED", true},
        EngineFailure{"KindOne", {{"fault", "kind-1"}}, "VX41_OUTPUT_INVALID", true},
        EngineFailure{
            "UnequalLengths", {{"fault", "unequal-lengths"}}, "VX41_OUTPUT_INVALID", true},
        EngineFailure{"NullOutput", {{"fault", "null-output"}}, "VX41_OUTPUT_INVALID", true},
        EngineFailure{
            "NegativeLength", {{"fault", "negative-length"}}, "VX41_OUTPUT_INVALID", true},
        EngineFailure{"NothingWithALength",
                      {{"fault", "kind-0-with-data"}, {"chunk_frames", "2048"}},
                      "VX41_OUTPUT_INVALID",
                      true},
        EngineFailure{
            "TailNeverReturned", {{"chunk_frames", "100000"}}, "VX41_OUTPUT_INCOMPLETE", true}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(Vx41EngineProgram, InputAndOutputFailuresInEngineModeHaveTheirCodes) {
  EngineLayout layout;
  const std::string records = toRecords(firstFrames(10), {0});
  struct Case {
    const char* name;
    std::string input;
    const char* code;
    std::size_t output;
  };
  std::string badHeader = records;
  badHeader[5 * 132 + 2] = '\x01';
  std::string corrupted = records;
  corrupted[6 * 132 + 4] ^= 0x40;  // seventh frame loses its sync word
  const std::vector<Case> cases = {
      {"131 bytes", records.substr(0, 131), "SBC132_INPUT_INVALID", 0},
      {"bad header", badHeader, "SBC132_INPUT_INVALID", 4 * 512},
      {"corrupted frame", corrupted, "SBC132_DECODE_FAILED", 4 * 512},
  };
  for (const auto& c : cases) {
    const ChildResult result = layout.run({kFramed, "-"}, c.input);
    EXPECT_EQ(result.exitStatus, 6) << c.name;
    EXPECT_EQ(result.standardError, std::string(c.code) + "\n") << c.name;
    EXPECT_EQ(result.standardOutput.size(), c.output) << c.name;
    EXPECT_EQ(layout.log().back(), "del") << c.name;
  }

  ChildOptions readError;
  readError.environment = {{"LD_PRELOAD", ORVIX_SBC_FAULT_INJECTION_PATH},
                           {"ORVIX_TEST_FAULT", "input-error-at-end"},
                           {"ASAN_OPTIONS", "verify_asan_link_order=0"}};
  const ChildResult afterError = layout.run({kFramed, "-"}, records, readError);
  EXPECT_EQ(afterError.exitStatus, 6);
  EXPECT_EQ(afterError.standardError, "SBC132_INPUT_READ_FAILED\n");
  EXPECT_EQ(afterError.standardOutput.size(), 8u * 512) << "no drain after a read error";

  ChildOptions full;
  full.standardOutputPath = "/dev/full";
  const ChildResult unwritable = layout.run({kFramed, "-"}, records, full);
  EXPECT_EQ(unwritable.exitStatus, 6);
  EXPECT_EQ(unwritable.standardError, "VX41_OUTPUT_WRITE_FAILED\n");
}

TEST_F(Vx41EngineProgram, AMissingOrIncompleteEngineIsAResourceFailure) {
  struct Case {
    const char* name;
    std::function<void(const EngineLayout&)> damage;
  };
  const std::vector<Case> cases = {
      {"no vx41 directory", [](const EngineLayout& l) { fs::remove_all(l.root() / "vx41"); }},
      {"no runtime", [](const EngineLayout& l) { fs::remove(l.libraryDirectory() / "libomp.so"); }},
      {"no engine",
       [](const EngineLayout& l) { fs::remove(l.libraryDirectory() / "libvx41_qtr.so"); }},
      {"no library the engine needs",
       [](const EngineLayout& l) {
         fs::remove(l.libraryDirectory() / "libvx41_standin_kernels.so");
       }},
      {"engine without the functions",
       [](const EngineLayout& l) {
         fs::copy_file(l.libraryDirectory() / "libomp.so", l.libraryDirectory() / "libvx41_qtr.so",
                       fs::copy_options::overwrite_existing);
       }},
      {"runtime without its symbol",
       [](const EngineLayout& l) {
         fs::copy_file(ORVIX_SBC_FAULT_INJECTION_PATH, l.libraryDirectory() / "libomp.so",
                       fs::copy_options::overwrite_existing);
       }},
      {"only the macOS names",
       [](const EngineLayout& l) {
         fs::rename(l.libraryDirectory() / "libomp.so", l.libraryDirectory() / "libomp.dylib");
         fs::rename(l.libraryDirectory() / "libvx41_qtr.so",
                    l.libraryDirectory() / "libvx41_qtr.dylib");
       }},
  };
  for (const auto& c : cases) {
    EngineLayout layout;
    c.damage(layout);
    const ChildResult result = layout.run({framesPath.string()});
    EXPECT_EQ(result.exitStatus, 6) << c.name;
    EXPECT_EQ(result.standardError, "VX41_RESOURCE_LOAD_FAILED\n") << c.name;
    EXPECT_EQ(result.standardOutput, "") << c.name;
    EXPECT_FALSE(fs::exists(layout.logPath())) << c.name;
  }

  EngineLayout noConfiguration;
  fs::remove_all(noConfiguration.configurationDirectory());
  const ChildResult result = noConfiguration.run({framesPath.string()});
  EXPECT_EQ(result.exitStatus, 6);
  EXPECT_EQ(result.standardError, "VX41_CONFIG_PATH_FAILED\n");
}

}  // namespace
}  // namespace orvix::sbc_decoder::testing
