#include "tools/sbc-decoder/vx41_engine_mode.h"

#include <memory>
#include <string>

#include "tools/sbc-decoder/engine_platform.h"
#include "tools/sbc-decoder/vx41_engine_loader.h"

namespace orvix::sbc_decoder {

std::optional<FailureCode> decodeThroughEngine(Sbc132Reader& reader, const InputStream& input,
                                               SbcFrameDecoder& decoder, Vx41EngineStream& stream) {
  Sbc132Record record;
  PcmFrame pcm{};
  while (true) {
    switch (reader.read(record)) {
      case ReadOutcome::kEndOfInput:
        if (input.hasError()) return FailureCode::kInputReadFailed;
        return stream.drain();
      case ReadOutcome::kInvalid:
        return FailureCode::kInputInvalid;
      case ReadOutcome::kRecord:
        break;
    }
    if (record.pickupMode != stream.mode()) {
      if (auto failure = stream.changeMode(record.pickupMode)) return failure;
    }
    if (!decoder.decode(record.frame, pcm)) return FailureCode::kDecodeFailed;
    if (auto failure = stream.append(pcm)) return failure;
  }
}

std::optional<FailureCode> runEngineMode(const DecodeCommand& command, Sbc132Reader& reader,
                                         const InputStream& input, SbcFrameDecoder& decoder,
                                         OutputStream& output) {
  const std::optional<std::string> executablePath = runningExecutablePath();
  const std::optional<std::string> directory =
      executablePath ? directoryOf(*executablePath) : std::nullopt;
  if (!directory) return FailureCode::kResourceLoadFailed;
  const std::unique_ptr<Vx41Libraries> libraries = Vx41Libraries::load(*directory);
  if (!libraries) return FailureCode::kResourceLoadFailed;
  const Vx41Functions& engine = libraries->functions();

  const std::optional<std::string> configurationPath = enterConfigurationDirectory(
      *directory, configurationFileName(command.pickupMode, command.readsStandardInput()));
  if (!configurationPath) return FailureCode::kConfigPathFailed;

  void* handle = nullptr;
  if (!vx41Succeeded(engine.create(&handle, configurationPath->c_str())) || handle == nullptr) {
    // An engine may build part of an instance before it fails; whatever it handed back is its to
    // release.
    if (handle != nullptr) engine.del(handle);
    return FailureCode::kCreateFailed;
  }
  Vx41EngineStream stream(engine, handle, command.pickupMode, output);
  const std::optional<FailureCode> result = decodeThroughEngine(reader, input, decoder, stream);
  engine.del(handle);
  return result;
}

}  // namespace orvix::sbc_decoder
