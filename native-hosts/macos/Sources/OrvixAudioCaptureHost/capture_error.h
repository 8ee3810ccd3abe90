#pragma once

#include <string_view>

namespace orvix::capture {

// Why start-up or a recording failed, with the code the desktop application sees.
enum class CaptureError { captureFailed, microphonePermissionDenied, screenPermissionDenied };

constexpr std::string_view wireCode(CaptureError error) {
  switch (error) {
    case CaptureError::microphonePermissionDenied:
      return "MICROPHONE_PERMISSION_DENIED";
    case CaptureError::screenPermissionDenied:
      return "SCREEN_PERMISSION_DENIED";
    case CaptureError::captureFailed:
      break;
  }
  return "CAPTURE_FAILED";
}

}  // namespace orvix::capture
