#include "tools/sbc-decoder/sbc_decoder.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <memory>
#include <variant>

#include "tools/sbc-decoder/bypass_mode.h"
#include "tools/sbc-decoder/command_line.h"
#include "tools/sbc-decoder/sbc132_reader.h"
#include "tools/sbc-decoder/sbc_frame_decoder.h"
#include "tools/sbc-decoder/stdio_streams.h"
#include "tools/sbc-decoder/vx41_engine_mode.h"

namespace orvix::sbc_decoder {
namespace {

constexpr std::size_t kFileReadBufferBytes = 64 * 1024;

// Only exactly "1" bypasses the engine; "true", "yes" or "10" do not.
bool bypassRequested(std::optional<std::string_view> value) { return value == "1"; }

bool descriptorIsOpen(std::FILE* stream) {
  const int fd = fileno(stream);
  return fd >= 0 && fcntl(fd, F_GETFL) != -1;
}

// Only a file on disk has all its frames at hand; a pipe, a terminal or a socket may keep the
// decoder waiting for the next one, and what it already decoded must not wait with it.
bool inputIsFileOnDisk(std::FILE* stream) {
  struct stat status {};
  return fstat(fileno(stream), &status) == 0 && S_ISREG(status.st_mode);
}

// Closes the input at every way out, unless it is standard input, which the process owns.
struct InputCloser {
  void operator()(std::FILE* file) const {
    if (file != standardInput) std::fclose(file);
  }
  std::FILE* standardInput;
};

}  // namespace

ExitStatus runDecoder(std::span<const std::string_view> arguments,
                      const DecoderEnvironment& environment) {
  const Command parsed = parseCommandLine(arguments);
  const auto* command = std::get_if<DecodeCommand>(&parsed);
  if (command == nullptr) return ExitStatus::kUsage;

  // Looked at before the input is opened: with standard output closed, the input file would be
  // given its descriptor and "standard output" would then be the input itself.
  const bool outputOpen = descriptorIsOpen(environment.standardOutput);

  std::FILE* opened = nullptr;
  if (command->readsStandardInput()) {
    if (!descriptorIsOpen(environment.standardInput)) return ExitStatus::kInputUnavailable;
    opened = environment.standardInput;
  } else {
    opened = std::fopen(command->inputPath.c_str(), "rb");
    if (opened == nullptr) return ExitStatus::kInputUnavailable;
    // Fewer, larger reads for a recording on disk; without the buffer the default is used.
    std::setvbuf(opened, nullptr, _IOFBF, kFileReadBufferBytes);
  }
  const std::unique_ptr<std::FILE, InputCloser> inputFile(opened,
                                                          InputCloser{environment.standardInput});

  // A closed standard output would fail every write later; say so before decoding anything.
  if (!outputOpen || std::setvbuf(environment.standardOutput, nullptr, _IONBF, 0) != 0) {
    return ExitStatus::kOutputUnavailable;
  }

  std::unique_ptr<SbcFrameDecoder> decoder = SbcFrameDecoder::create();
  if (!decoder) return ExitStatus::kDecoderInitFailed;

  StdioInputStream input(inputFile.get());
  StdioOutputStream output(environment.standardOutput);
  Sbc132Reader reader(input, command->framed, command->pickupMode);

  bool processed = false;
  if (bypassRequested(environment.bypassVariable)) {
    const std::size_t framesPerWrite =
        inputIsFileOnDisk(inputFile.get()) ? kFramesPerWriteFromFile : 1;
    processed = decodeBypassed(reader, input, *decoder, output, framesPerWrite);
  } else {
    const std::optional<FailureCode> failure =
        runEngineMode(*command, reader, input, *decoder, output);
    if (failure) std::fprintf(environment.standardError, "%s\n", failureCodeText(*failure).data());
    processed = !failure;
  }

  decoder.reset();
  const bool inputClean = !input.hasError();
  const bool flushed = output.flush();
  return processed && inputClean && flushed ? ExitStatus::kOk : ExitStatus::kProcessingFailed;
}

}  // namespace orvix::sbc_decoder
