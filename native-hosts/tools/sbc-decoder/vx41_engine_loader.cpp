#include "tools/sbc-decoder/vx41_engine_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <bit>

#include "tools/sbc-decoder/engine_platform.h"

namespace orvix::sbc_decoder {
namespace {

constexpr std::string_view kLibraryDirectory = "/vx41/lib/";
constexpr std::string_view kConfigurationDirectory = "/vx41/resources/cfg";

std::optional<std::string> joinBounded(std::string_view directory, std::string_view middle,
                                       std::string_view name) {
  if (directory.size() + middle.size() + name.size() > kMaximumPathLength) return std::nullopt;
  std::string path;
  path.reserve(directory.size() + middle.size() + name.size());
  path.append(directory).append(middle).append(name);
  return path;
}

template <typename Function>
bool resolve(void* library, const char* name, Function& function) {
  void* symbol = dlsym(library, name);
  if (symbol == nullptr) return false;
  function = std::bit_cast<Function>(symbol);
  return true;
}

}  // namespace

std::optional<std::string> directoryOf(std::string_view executablePath) {
  const std::size_t slash = executablePath.rfind('/');
  if (slash == std::string_view::npos) return std::nullopt;
  return std::string(executablePath.substr(0, slash));
}

std::unique_ptr<Vx41Libraries> Vx41Libraries::load(std::string_view executableDirectory) {
  const auto openMpPath =
      joinBounded(executableDirectory, kLibraryDirectory, openMpLibraryFileName());
  const auto enginePath =
      joinBounded(executableDirectory, kLibraryDirectory, engineLibraryFileName());
  if (!openMpPath || !enginePath) return nullptr;

  std::unique_ptr<Vx41Libraries> libraries(new Vx41Libraries());
  // The engine expects its OpenMP runtime's symbols to be already visible to everyone when it is
  // loaded; the engine's own symbols stay private to this lookup.
  libraries->openMp_ = dlopen(openMpPath->c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (libraries->openMp_ == nullptr) return nullptr;
  libraries->engine_ = dlopen(enginePath->c_str(), RTLD_NOW | RTLD_LOCAL);
  if (libraries->engine_ == nullptr) return nullptr;

  Vx41Functions& f = libraries->functions_;
  void* engine = libraries->engine_;
  if (!resolve(engine, "VSPCreate", f.create) ||
      !resolve(engine, "VSPAppendAudioData", f.appendAudioData) ||
      !resolve(engine, "VSPRunStep", f.runStep) || !resolve(engine, "VSPSetParam", f.setParam) ||
      !resolve(engine, "VSPDel", f.del)) {
    return nullptr;
  }
  return libraries;
}

Vx41Libraries::~Vx41Libraries() {
  if (engine_ != nullptr) dlclose(engine_);
  if (openMp_ != nullptr) dlclose(openMp_);
}

std::string_view configurationFileName(PickupMode commandLineMode, bool readsStandardInput) {
  if (commandLineMode == PickupMode::kDirectional) return "vsp_qtrk7_directional.ini";
  return readsStandardInput ? "vsp_qtrk7_realtime.ini" : "vsp_qtrk7_offline.ini";
}

std::optional<std::string> enterConfigurationDirectory(std::string_view executableDirectory,
                                                       std::string_view fileName) {
  auto directory = joinBounded(executableDirectory, kConfigurationDirectory, "");
  auto path =
      joinBounded(executableDirectory, kConfigurationDirectory, std::string("/").append(fileName));
  if (!directory || !path || path->front() != '/') return std::nullopt;
  if (chdir(directory->c_str()) != 0) return std::nullopt;
  return path;
}

}  // namespace orvix::sbc_decoder
