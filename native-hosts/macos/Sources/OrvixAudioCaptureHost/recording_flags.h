#pragma once

namespace orvix::capture {

// The flags of a recording that several parts of the controller decide on together: the
// commands, the system-audio backends, the microphone and the timeline. Guarded by the
// controller's state lock.
struct RecordingFlags {
  // Paused by command: no buffer is written and the timeline's clock stands still.
  bool paused = false;
  // Stop or cancel has begun; never cleared.
  bool stopping = false;
  // Microphone samples are written as recorded; otherwise as silence of the same length.
  bool microphoneEnabled = false;
  // A microphone engine is delivering (meeting mode).
  bool microphoneAvailable = false;
  // The start-up microphone attempt has finished, successfully or not.
  bool microphoneInitializationComplete = false;
};

}  // namespace orvix::capture
