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
  controller_ = CaptureController::create(*parsed, audio_, time_, events_,
                                          [this](int status) { exitJoiningFinishedThreads(status); });
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
    {
      std::lock_guard lock(readerEndLock_);
      readerEnded_ = true;
    }
    time_.mainLoop().post([this] { endOfInput(); });
  });
}

void CaptureHost::exitJoiningFinishedThreads(int status) {
  // A thread that has finished but was never joined counts as leaked to a thread checker, and
  // such reports would bury a real one. The exit comes from the stop task, which has waited for
  // the main loop, so both threads were started and their handles are set. The start-up task
  // has delivered its outcome and only returns; the reader has finished once it met the end of
  // its input. Holding readerEndLock_ through the exit keeps a reader that meets the end just
  // now from finishing unjoined: it waits on the lock until the process is gone.
  if (startTask_) startTask_->join();
  std::lock_guard lock(readerEndLock_);
  if (readerEnded_ && reader_) reader_->join();
  exitProcess_(status);
}

}  // namespace orvix::capture
