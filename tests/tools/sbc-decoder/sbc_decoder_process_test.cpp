// The program as the desktop application runs it, in bypass mode and before any engine is
// involved: decoding checked byte for byte against Debian's sbcdec, every exit status, live
// pipes, and damaged input.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "tools/sbc-decoder/decoder_test_layout.h"

namespace orvix::sbc_decoder::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kDecoder = ORVIX_SBC_DECODER_PATH;
const std::string kFramed = "--input-format=vx41-v1";

ChildOptions bypass(ChildOptions options = {}) {
  options.environment.emplace_back("ORVIX_VX41_BYPASS", "1");
  return options;
}

ChildResult runBypassed(std::vector<std::string> arguments, const std::string& input = {},
                        ChildOptions options = {}) {
  options = bypass(std::move(options));
  options.arguments = std::move(arguments);
  return runChild(kDecoder, options, input);
}

class SbcDecoderProgram : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    directory = std::make_unique<TemporaryDirectory>();
    stereo = encodeWithPeer(directory->path(), {"-s", "8", "-B", "16", "-b", "58"});
    const fs::path dualDirectory = directory->path() / "dual";
    fs::create_directories(dualDirectory);
    dual = encodeWithPeer(dualDirectory, {"-d", "-s", "8", "-B", "16", "-b", "29"});
    framesPath = directory->path() / "stereo.sbc";
    recordsPath = directory->path() / "stereo.sbc132";
    writeFile(framesPath, stereo.frames);
    writeFile(recordsPath, toRecords(stereo.frames, {0, 2, 0}));
  }
  static void TearDownTestSuite() { directory.reset(); }

  static inline std::unique_ptr<TemporaryDirectory> directory;
  static inline PeerEncodedRecording stereo;
  static inline PeerEncodedRecording dual;
  static inline fs::path framesPath;
  static inline fs::path recordsPath;
};

TEST_F(SbcDecoderProgram, BypassMatchesSbcdecByteForByteFramedOrBareFromFileOrPipe) {
  ASSERT_GT(stereo.frameCount(), 600u);
  ASSERT_EQ(stereo.frames.size(), stereo.frameCount() * 128) << "sbcenc frames are not 128 bytes";
  ASSERT_EQ(stereo.sbcdecPcm.size(), stereo.frameCount() * 512);

  const ChildResult bareFile = runBypassed({framesPath.string()});
  EXPECT_EQ(bareFile.exitStatus, 0);
  EXPECT_TRUE(bareFile.standardOutput == stereo.sbcdecPcm);
  EXPECT_EQ(bareFile.standardError, "");

  // Framed records, with modes that change: bypass ignores the mode byte.
  const ChildResult framedPipe = runBypassed({kFramed, "-"}, readFile(recordsPath));
  EXPECT_EQ(framedPipe.exitStatus, 0);
  EXPECT_TRUE(framedPipe.standardOutput == stereo.sbcdecPcm);

  const ChildResult dualChannel = runBypassed({"-"}, dual.frames);
  EXPECT_EQ(dualChannel.exitStatus, 0);
  ASSERT_EQ(dual.frames.size(), dual.frameCount() * 128);
  EXPECT_TRUE(dualChannel.standardOutput == dual.sbcdecPcm);
}

TEST_F(SbcDecoderProgram, EmptyInputIsAnEmptySuccessInBothModes) {
  const ChildResult bypassed = runBypassed({kFramed, "-"});
  EXPECT_EQ(bypassed.exitStatus, 0);
  EXPECT_EQ(bypassed.standardOutput, "");

  EngineLayout layout;
  const ChildResult engine = layout.run({kFramed, "-"});
  EXPECT_EQ(engine.exitStatus, 0);
  EXPECT_EQ(engine.standardOutput, "");
  EXPECT_EQ(engine.standardError, "");
}

TEST_F(SbcDecoderProgram, UsageErrorsGiveStatus2WithoutOutput) {
  const std::vector<std::vector<std::string>> usages = {
      {},
      {kFramed},
      {framesPath.string(), framesPath.string()},
      {"--pickup-mode=front", framesPath.string()},
      {"--help"},
      {framesPath.string(), "--verbose"},
  };
  for (const auto& arguments : usages) {
    const ChildResult result = runBypassed(arguments, stereo.frames);
    EXPECT_EQ(result.exitStatus, 2) << ::testing::PrintToString(arguments);
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_EQ(result.standardError, "");
  }
}

TEST_F(SbcDecoderProgram, InputAndOutputThatCannotBeUsedGiveStatus3And4) {
  EXPECT_EQ(runBypassed({(directory->path() / "missing.sbc").string()}).exitStatus, 3);

  ChildOptions noInput;
  noInput.closeStandardInput = true;
  EXPECT_EQ(runBypassed({"-"}, {}, noInput).exitStatus, 3);

  // Standard output closed: refused up front, even though the input file would take its slot.
  ChildOptions noOutput;
  noOutput.closeStandardOutput = true;
  EXPECT_EQ(runBypassed({framesPath.string()}, {}, noOutput).exitStatus, 4);
  EngineLayout layout;
  EXPECT_EQ(layout.run({framesPath.string()}, {}, noOutput).exitStatus, 4);
  EXPECT_FALSE(fs::exists(layout.logPath())) << "the engine was loaded before the output check";
}

TEST_F(SbcDecoderProgram, ACodecThatCannotStartGivesStatus5) {
  ChildOptions options;
  options.environment = {{"LD_PRELOAD", ORVIX_SBC_FAULT_INJECTION_PATH},
                         {"ORVIX_TEST_FAULT", "sbc-init"},
                         {"ASAN_OPTIONS", "verify_asan_link_order=0"}};
  const ChildResult result = runBypassed({"-"}, stereo.frames, options);
  EXPECT_EQ(result.exitStatus, 5);
  EXPECT_EQ(result.standardOutput, "");
}

TEST_F(SbcDecoderProgram, BypassFailuresGiveStatus6WithoutAMessageAndKeepWhatWasWritten) {
  const std::string records = readFile(recordsPath);
  struct Case {
    const char* name;
    std::string input;
    std::size_t expectedOutput;
  };
  std::string badHeader = records;
  badHeader[3 * 132] = '\x02';  // fourth record: version 2
  std::string corrupted = records;
  corrupted[2 * 132 + 4 + 8] ^= 0x21;  // third frame's scale factors no longer match its CRC
  const std::vector<Case> cases = {
      {"131 bytes", records.substr(0, 131), 0},
      {"record cut after its header", records.substr(0, 132 + 4), 512},
      {"bad header", badHeader, 3 * 512},
      {"corrupted frame", corrupted, 2 * 512},
  };
  const fs::path damagedPath = directory->path() / "damaged.sbc132";
  for (const auto& c : cases) {
    const ChildResult result = runBypassed({kFramed, "-"}, c.input);
    EXPECT_EQ(result.exitStatus, 6) << c.name;
    EXPECT_EQ(result.standardOutput.size(), c.expectedOutput) << c.name;
    EXPECT_EQ(result.standardError, "") << c.name;
    // From a file, decoded frames wait to go out together; the failure must not drop them.
    writeFile(damagedPath, c.input);
    const ChildResult fromFile = runBypassed({kFramed, damagedPath.string()});
    EXPECT_EQ(fromFile.exitStatus, 6) << c.name;
    EXPECT_TRUE(fromFile.standardOutput == stereo.sbcdecPcm.substr(0, c.expectedOutput)) << c.name;
  }

  ChildOptions full;
  full.standardOutputPath = "/dev/full";
  EXPECT_EQ(runBypassed({framesPath.string()}, {}, full).exitStatus, 6);

  // A directory opens for reading here, but every read of it fails.
  EXPECT_EQ(runBypassed({directory->path().string()}).exitStatus, 6);

  ChildOptions readError;
  readError.environment = {{"LD_PRELOAD", ORVIX_SBC_FAULT_INJECTION_PATH},
                           {"ORVIX_TEST_FAULT", "input-error-at-end"},
                           {"ASAN_OPTIONS", "verify_asan_link_order=0"}};
  const ChildResult afterError = runBypassed({"-"}, stereo.frames, readError);
  EXPECT_EQ(afterError.exitStatus, 6);
  EXPECT_EQ(afterError.standardOutput.size(), stereo.frames.size() * 4);
}

TEST_F(SbcDecoderProgram, OnlyExactlyOneSelectsBypass) {
  for (const char* value : {"true", "11", "1 ", " 1", "0", ""}) {
    ChildOptions options;
    options.arguments = {framesPath.string()};
    options.environment = {{"ORVIX_VX41_BYPASS", value}};
    // The built program has no engine beside it, so engine mode fails to load it.
    const ChildResult result = runChild(kDecoder, options);
    EXPECT_EQ(result.exitStatus, 6) << '"' << value << '"';
    EXPECT_EQ(result.standardError, "VX41_RESOURCE_LOAD_FAILED\n") << '"' << value << '"';
    EXPECT_EQ(result.standardOutput, "");
  }
}

TEST_F(SbcDecoderProgram, ALivePipeIsDecodedFrameByFrameAsItArrives) {
  ChildOptions options;
  options.arguments = {kFramed, "-"};
  ChildProcess child(kDecoder, bypass(options));
  const std::string records = readFile(recordsPath);
  for (std::size_t i = 0; i < 3; ++i) {
    child.writeInput(records.substr(i * 132, 132));
    ASSERT_TRUE(child.waitForOutput((i + 1) * 512, 30s)) << "frame " << i << " held back";
  }
  // Half a record: nothing more comes out, and the end makes it a truncated record.
  child.writeInput(records.substr(3 * 132, 60));
  const ChildResult result = child.finish();
  EXPECT_EQ(result.exitStatus, 6);
  EXPECT_TRUE(result.standardOutput == stereo.sbcdecPcm.substr(0, 3 * 512));
}

TEST_F(SbcDecoderProgram, DamagedFramesNeverCrashOrProduceMoreThanTheirShare) {
  EngineLayout layout;
  const std::string frames = stereo.frames.substr(0, 12 * 128);
  // Sync word, header fields, CRC, scale factors and samples of the fifth frame; then truncations.
  for (const std::size_t offset : {0u, 1u, 2u, 3u, 8u, 40u, 127u}) {
    for (const unsigned char mask : {0x01, 0x80, 0xFF}) {
      std::string damaged = frames;
      damaged[4 * 128 + offset] ^= static_cast<char>(mask);
      for (const bool engine : {false, true}) {
        const ChildResult result =
            engine ? layout.run({"-"}, damaged) : runBypassed({"-"}, damaged);
        const std::string where =
            std::to_string(offset) + "/" + std::to_string(mask) + (engine ? " engine" : " bypass");
        ASSERT_TRUE(result.exitStatus == 0 || result.exitStatus == 6) << where;
        EXPECT_LE(result.standardOutput.size(), 12u * 512) << where;
        if (result.exitStatus == 0) {
          EXPECT_EQ(result.standardOutput.size(), 12u * 512) << where;
        }
        if (engine && result.exitStatus == 6) {
          EXPECT_EQ(result.standardError, "SBC132_DECODE_FAILED\n") << where;
        }
      }
    }
  }
}

}  // namespace
}  // namespace orvix::sbc_decoder::testing
