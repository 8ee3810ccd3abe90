#include "tools/sbc-decoder/decoder_test_layout.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>

#include "tools/sbc-decoder/standin/synthetic_recording.h"

namespace orvix::sbc_decoder::testing {

namespace fs = std::filesystem;

void writeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

TemporaryDirectory::TemporaryDirectory() {
  std::string pattern = (fs::temp_directory_path() / "orvix-sbc-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
  path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

PeerEncodedRecording encodeWithPeer(const fs::path& directory,
                                    const std::vector<std::string>& sbcencOptions) {
  const fs::path audio = directory / "recording.au";
  const fs::path frames = directory / "recording.sbc";
  const fs::path decoded = directory / "sbcdec.au";
  PeerEncodedRecording recording;
  if (!writeSyntheticRecording(audio.string(), 2 * 44100, 44100)) {
    ADD_FAILURE() << "cannot write " << audio;
    return recording;
  }

  ChildOptions encode;
  encode.arguments = sbcencOptions;
  encode.arguments.push_back(audio.string());
  const ChildResult encoded = runChild("sbcenc", encode);
  EXPECT_EQ(encoded.exitStatus, 0) << "sbcenc (from Debian's sbc-tools) " << encoded.standardError;
  recording.frames = encoded.standardOutput;
  writeFile(frames, recording.frames);

  ChildOptions decode;
  decode.arguments = {"-f", decoded.string(), frames.string()};
  const ChildResult sbcdec = runChild("sbcdec", decode);
  EXPECT_EQ(sbcdec.exitStatus, 0) << "sbcdec " << sbcdec.standardError;
  // sbcdec writes a Sun audio file: a big-endian header size at offset 4, then big-endian samples.
  const std::string au = readFile(decoded);
  if (au.size() < 24) {
    ADD_FAILURE() << "sbcdec wrote no audio file";
    return recording;
  }
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(au[i]); };
  const std::size_t headerSize =
      (std::size_t{byte(4)} << 24) | (std::size_t{byte(5)} << 16) | (byte(6) << 8) | byte(7);
  recording.sbcdecPcm = au.substr(std::min(headerSize, au.size()));
  for (std::size_t i = 0; i + 1 < recording.sbcdecPcm.size(); i += 2) {
    std::swap(recording.sbcdecPcm[i], recording.sbcdecPcm[i + 1]);
  }
  return recording;
}

std::string toRecords(const std::string& frames, const std::vector<std::uint8_t>& modes) {
  std::string records;
  const std::size_t count = frames.size() / 128;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t mode = modes[std::min(i, modes.size() - 1)];
    records += '\x01';
    records += static_cast<char>(mode);
    records.append(2, '\0');
    records.append(frames, i * 128, 128);
  }
  return records;
}

std::string delayed(const std::string& pcm, std::size_t delayFrames) {
  const std::size_t shift = std::min(delayFrames * 4, pcm.size());
  return std::string(shift, '\0') + pcm.substr(0, pcm.size() - shift);
}

EngineLayout::EngineLayout(const EngineSettings& settings) {
  fs::create_directories(libraryDirectory());
  fs::create_directories(configurationDirectory());
  fs::copy_file(ORVIX_SBC_DECODER_PATH, program());
  fs::copy_file(ORVIX_VX41_STANDIN_RUNTIME_PATH, libraryDirectory() / "libomp.so");
  fs::copy_file(ORVIX_VX41_STANDIN_ENGINE_PATH, libraryDirectory() / "libvx41_qtr.so");
  fs::copy_file(ORVIX_VX41_STANDIN_KERNELS_PATH,
                libraryDirectory() / fs::path(ORVIX_VX41_STANDIN_KERNELS_PATH).filename());
  configure(settings);
}

void EngineLayout::configure(const EngineSettings& settings) {
  std::ostringstream text;
  text << "# stand-in engine settings\nlog=" << logPath().string() << "\n";
  for (const auto& [key, value] : settings) text << key << "=" << value << "\n";
  for (const char* name :
       {"vsp_qtrk7_directional.ini", "vsp_qtrk7_realtime.ini", "vsp_qtrk7_offline.ini"}) {
    writeFile(configurationDirectory() / name, text.str());
  }
}

std::vector<std::string> EngineLayout::log() const {
  return orvix::testing::linesOf(readFile(logPath()));
}

ChildResult EngineLayout::run(std::vector<std::string> arguments, const std::string& input,
                              ChildOptions options) const {
  options.arguments = std::move(arguments);
  options.environment.emplace_back("ORVIX_VX41_BYPASS", std::nullopt);
  // The engine's libraries are found through the program's own search path, as when shipped.
  options.environment.emplace_back("LD_LIBRARY_PATH", std::nullopt);
  return runChild(program().string(), options, input);
}

}  // namespace orvix::sbc_decoder::testing
