#pragma once

#include "platform/audio_format.h"
#include "platform/microphone.h"
#include "platform/process_tap.h"
#include "platform/screen_capture.h"

namespace orvix::platform {

// The audio areas the capture host records through, handed to it as one bundle.
struct Audio {
  ScreenCapture& screenCapture;
  // Null where the platform offers no process taps; the host then uses screen capture alone.
  ProcessTaps* processTaps;
  Microphone& microphone;
};

}  // namespace orvix::platform
