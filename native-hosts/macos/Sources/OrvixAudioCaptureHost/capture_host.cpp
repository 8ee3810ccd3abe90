#include "OrvixAudioCaptureHost/capture_host.h"

#include <string>

#include "OrvixAudioCaptureHost/capture_constants.h"
#include "common/json_wire.h"

namespace orvix::capture {

CaptureHost::CaptureHost(platform::Audio audio, TimeSource& time, LineSink& output,
                         ExitProcess exitProcess)
    : audio_(audio), time_(time), events_(output), exitProcess_(std::move(exitProcess)) {}

CaptureHost::~CaptureHost() {
  if (startTask_) startTask_->join();
  controller_.reset();
}

std::optional<int> CaptureHost::start(std::span<const std::string_view> arguments) {
  auto parsed = parseArguments(arguments);
  const Json failed{{"code", std::string(wireCode(CaptureError::captureFailed))}};
  if (!parsed) {
    events_.emit("recording.failed", failed);
    return 2;
  }
  controller_ = CaptureController::create(*parsed, audio_, time_, events_, exitProcess_);
  if (!controller_) {
    events_.emit("recording.failed", failed);
    return 1;
  }
  CaptureController& controller = *controller_;
  controller.startTaskLaunched();
  startTask_ = time_.startThread("capture-start", [this, &controller] {
    if (const auto error = controller.start()) {
      events_.emit("recording.failed", Json{{"code", std::string(wireCode(*error))}});
      controller.stop(true);
    }
    controller.startTaskFinished();
  });
  return std::nullopt;
}

void CaptureHost::handleLine(std::string_view line) {
  if (!controller_) return;
  const auto command = parseJsonObject(line);
  if (!command) return;
  const auto version = integralMember(*command, "schemaVersion");
  const auto* name = stringMember(*command, "command");
  if (version != schemaVersion || name == nullptr) return;

  if (*name == "pause") {
    controller_->setPaused(true);
  } else if (*name == "resume") {
    controller_->setPaused(false);
  } else if (*name == "microphone.set") {
    const auto enabled = command->find("enabled");
    if (enabled == command->end() || !enabled->is_boolean()) return;
    controller_->setMicrophoneEnabled(enabled->get<bool>());
  } else if (*name == "stop") {
    controller_->stop(false);
  } else if (*name == "cancel") {
    controller_->stop(true);
  }
}

void CaptureHost::endOfInput() {
  if (controller_) controller_->stop(true);
}

void CaptureHost::startCommandReader(ByteSource& input) {
  reader_ = time_.startThread("command-reader", [this, &input] {
    BoundedLineReader reader(input, kMaximumCommandBytes);
    while (true) {
      auto result = reader.next();
      if (result.status == BoundedLineReader::Status::end) break;
      if (result.status == BoundedLineReader::Status::overLong) continue;
      std::string line = std::move(result.text);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      time_.mainLoop().post([this, line = std::move(line)] { handleLine(line); });
    }
    time_.mainLoop().post([this] { endOfInput(); });
  });
}

}  // namespace orvix::capture
