// Untrusted standard input for the capture host: any bytes, split into lines, through the
// command loop of a recording on the simulated world. Each input gets a fresh recording, which
// ends by a cancel if the input did not end it, so stop, cancel and every command meet a live
// controller in any order.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "OrvixAudioCaptureHost/capture_host.h"
#include "common/time/virtual_time_source.h"
#include "platform/simulated/audio/simulated_audio_world.h"

namespace {

using namespace orvix;
using namespace std::chrono_literals;

// Checks that each line is one JSON object ending in LF, and keeps nothing.
class CheckingSink final : public LineSink {
 public:
  void writeLine(std::string_view line) override {
    if (line.empty() || line.back() != '\n' || line.find('\n') != line.size() - 1) std::abort();
    if (!parseJsonObject(line.substr(0, line.size() - 1))) std::abort();
  }
};

// One recording lives across inputs (starting one costs a dozen threads); it is replaced when
// an input ended it, and after a while so its track files stay small.
class Recording {
 public:
  explicit Recording(bool withTap) {
    char path[] = "/tmp/orvix-capture-fuzz-XXXXXX";
    if (::mkdtemp(path) == nullptr) std::abort();
    directory_ = path;
    platform::simulated::AudioScenario scenario;
    scenario.processTap.available = withTap;
    world_ = std::make_unique<platform::simulated::SimulatedAudioWorld>(time_, scenario);
    host_ = std::make_unique<capture::CaptureHost>(world_->audio(), time_, sink_, [this](int) {
      std::lock_guard lock(mutex_);
      exited_ = true;
    });
    const std::string output = directory_ + "/recording.pcm";
    std::vector<std::string_view> arguments = {
        "--session-id",         "fuzz", "--output", output, "--mode", "meeting",
        "--microphone-enabled", "true"};
    if (host_->start(arguments)) std::abort();
    time_.advanceBy(200ms);
  }

  ~Recording() {
    host_->endOfInput();
    for (int i = 0; i < 1000 && !exited(); ++i) time_.advanceBy(100ms);
    if (!exited()) std::abort();  // a recording must always come to its end
    host_.reset();
    world_.reset();
    (void)std::system(("rm -rf '" + directory_ + "'").c_str());
  }

  bool exited() {
    std::lock_guard lock(mutex_);
    return exited_;
  }

  void feed(std::string_view input) {
    while (!input.empty() && !exited()) {
      const auto end = input.find('\n');
      host_->handleLine(input.substr(0, end));
      time_.advanceBy(30ms);
      if (end == std::string_view::npos) break;
      input.remove_prefix(end + 1);
    }
    ++inputs_;
  }

  int inputs() const { return inputs_; }

 private:
  std::string directory_;
  VirtualTimeSource time_;
  std::unique_ptr<platform::simulated::SimulatedAudioWorld> world_;
  CheckingSink sink_;
  std::unique_ptr<capture::CaptureHost> host_;
  std::mutex mutex_;
  bool exited_ = false;
  int inputs_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::unique_ptr<Recording> recording;
  static bool withTap = false;
  if (!recording || recording->exited() || recording->inputs() >= 500) {
    recording.reset();
    withTap = !withTap;
    recording = std::make_unique<Recording>(withTap);
  }
  recording->feed(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
