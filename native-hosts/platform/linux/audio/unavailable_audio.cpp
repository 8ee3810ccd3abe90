#include "platform/linux/audio/unavailable_audio.h"

namespace orvix::platform::linux_audio {

std::variant<ShareableContent, ScreenCaptureFailure> UnavailableScreenCapture::shareableContent() {
  return ScreenCaptureFailure::unavailable;
}

}  // namespace orvix::platform::linux_audio
