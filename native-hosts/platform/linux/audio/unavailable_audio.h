#pragma once

#include "platform/audio.h"

namespace orvix::platform::linux_audio {

// This Linux machine has no binding for system-audio capture yet. Every start of a capture
// fails plainly (screen capture reports itself unavailable), so the host reports
// "CAPTURE_FAILED" instead of pretending to record; there are no process taps and no
// microphone input.
class UnavailableScreenCapture final : public ScreenCapture {
 public:
  bool preflightAccess() override { return true; }
  bool requestAccess() override { return true; }
  std::variant<ShareableContent, ScreenCaptureFailure> shareableContent() override;
  std::shared_ptr<ScreenCaptureStream> makeStream(const StreamConfiguration&,
                                                  ScreenCaptureStreamClient&) override {
    return nullptr;
  }
};

class UnavailableMicrophone final : public Microphone {
 public:
  MicrophoneAuthorization authorizationStatus() override {
    return MicrophoneAuthorization::notDetermined;
  }
  std::unique_ptr<AudioEngine> makeEngine() override { return nullptr; }
  std::optional<std::uint64_t> addDefaultInputListener(SerialQueue&,
                                                       std::function<void()>) override {
    return std::nullopt;
  }
  void removeDefaultInputListener(std::uint64_t) override {}
};

// The machine's audio, as far as this build can reach it.
class LinuxAudio {
 public:
  Audio audio() { return Audio{screenCapture_, nullptr, microphone_}; }

 private:
  UnavailableScreenCapture screenCapture_;
  UnavailableMicrophone microphone_;
};

}  // namespace orvix::platform::linux_audio
