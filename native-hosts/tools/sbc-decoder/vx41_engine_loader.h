#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "tools/sbc-decoder/pickup_mode.h"
#include "tools/sbc-decoder/vx41_engine_api.h"

namespace orvix::sbc_decoder {

// Longest path, in bytes, the decoder forms or accepts.
inline constexpr std::size_t kMaximumPathLength = 4095;

// The directory that holds the executable: its path cut at the last "/". Absent without one.
std::optional<std::string> directoryOf(std::string_view executablePath);

// The engine's OpenMP runtime and the engine itself, loaded from `<directory>/vx41/lib/`, with
// the engine's five functions. Closing happens in the reverse order: engine, then runtime.
class Vx41Libraries {
 public:
  // Absent when a path is too long, a library does not load or a function is missing.
  static std::unique_ptr<Vx41Libraries> load(std::string_view executableDirectory);
  ~Vx41Libraries();
  Vx41Libraries(const Vx41Libraries&) = delete;
  Vx41Libraries& operator=(const Vx41Libraries&) = delete;

  const Vx41Functions& functions() const { return functions_; }

 private:
  Vx41Libraries() = default;
  void* openMp_ = nullptr;
  void* engine_ = nullptr;
  Vx41Functions functions_;
};

// The engine configuration for this run, chosen by the command-line mode and the input kind:
// directional; omnidirectional live from standard input; omnidirectional from a file.
std::string_view configurationFileName(PickupMode commandLineMode, bool readsStandardInput);

// Forms `<directory>/vx41/resources/cfg/<fileName>` and makes its directory the working
// directory (the engine opens files relative to it). Returns the absolute configuration path,
// absent when it is too long or the directory cannot be entered.
std::optional<std::string> enterConfigurationDirectory(std::string_view executableDirectory,
                                                       std::string_view fileName);

}  // namespace orvix::sbc_decoder
