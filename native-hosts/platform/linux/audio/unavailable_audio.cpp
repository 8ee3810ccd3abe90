#include "platform/linux/audio/unavailable_audio.h"

namespace orvix::platform::linux_audio {

namespace {
// The screen-capture facility's "no display to capture" code, reused for "not available here".
constexpr std::int64_t kNoCaptureSourceCode = -3815;
}  // namespace

std::variant<ShareableContent, StreamError> UnavailableScreenCapture::shareableContent() {
  return StreamError{kScreenCaptureStreamErrorDomain, kNoCaptureSourceCode};
}

}  // namespace orvix::platform::linux_audio
