#pragma once

// Process-test support: the recording every test decodes, and a copy of the program laid out
// with the stand-in engine the way the desktop application ships it with the real one.
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/file_text.h"

namespace orvix::sbc_decoder::testing {

using orvix::testing::ChildOptions;
using orvix::testing::ChildProcess;
using orvix::testing::ChildResult;
using orvix::testing::runChild;

// Stand-in engine settings, key=value (see the stand-in engine's description).
using EngineSettings = std::map<std::string, std::string>;

using orvix::testing::readFile;
void writeFile(const std::filesystem::path& path, const std::string& bytes);

// A fresh directory under the system's temporary directory, removed with the object.
class TemporaryDirectory {
 public:
  TemporaryDirectory();
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A two-second synthetic recording encoded by Debian's sbcenc, and what Debian's sbcdec makes of
// it (as little-endian PCM, like the decoder's output).
struct PeerEncodedRecording {
  std::string frames;     // bare 128-byte SBC frames
  std::string sbcdecPcm;  // sbcdec's decoding of the same frames
  std::size_t frameCount() const { return frames.size() / 128; }
};

// Encodes with `sbcenc` using the given extra options and decodes with `sbcdec`; fails the test
// when either tool is missing or misbehaves.
PeerEncodedRecording encodeWithPeer(const std::filesystem::path& directory,
                                    const std::vector<std::string>& sbcencOptions);

// Wraps bare frames into SBC132 records; record i gets modes[i] (the last mode repeats).
std::string toRecords(const std::string& frames, const std::vector<std::uint8_t>& modes);

// The decoder's PCM delayed by `delayFrames` (silence first) and cut to its own length: what the
// stand-in engine with that delay must make of it.
std::string delayed(const std::string& pcm, std::size_t delayFrames);

// A copy of the program beside vx41/lib/ (the stand-in engine, its runtime and the library the
// engine itself depends on) and vx41/resources/cfg/ (the three configuration files, all with the
// same settings plus a log).
class EngineLayout {
 public:
  explicit EngineLayout(const EngineSettings& settings = {});

  const std::filesystem::path& root() const { return directory_.path(); }
  std::filesystem::path program() const { return root() / "orvix-sbc-decoder"; }
  std::filesystem::path libraryDirectory() const { return root() / "vx41/lib"; }
  std::filesystem::path configurationDirectory() const { return root() / "vx41/resources/cfg"; }
  std::filesystem::path logPath() const { return root() / "engine.log"; }
  std::filesystem::path inputDumpPath() const { return root() / "engine-input.f32"; }

  // Rewrites the three configuration files.
  void configure(const EngineSettings& settings);
  std::vector<std::string> log() const;

  ChildResult run(std::vector<std::string> arguments, const std::string& input = {},
                  ChildOptions options = {}) const;

 private:
  TemporaryDirectory directory_;
};

}  // namespace orvix::sbc_decoder::testing
