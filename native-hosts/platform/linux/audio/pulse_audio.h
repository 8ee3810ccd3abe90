#pragma once

#include <memory>

#include "common/time/time_source.h"
#include "platform/audio.h"
#include "platform/linux/audio/pulse_microphone.h"
#include "platform/linux/audio/pulse_screen_capture.h"

namespace orvix::platform::pulse {

// The capture host's audio areas over a PulseAudio server through libpulse, which also serves
// PipeWire (pipewire-pulse speaks the same protocol).
//
// Where the mapping is not one to one:
// - System audio is screen capture in shape: shareableContent() offers one "display" while the
//   server has a default sink, none without one (the host's "nothing to capture" start-up
//   failure); no server at all is `unavailable`. Access needs no grant.
// - A stream records `<default sink>.monitor` in float32 at the sink's own rate and channels;
//   the StreamConfiguration's rate, channels and picture settings have nothing to act on here.
//   There are no screen samples.
// - A stream follows the default sink: when another sink becomes the default, or the recorded
//   one goes, the stream moves to the new default's monitor by itself, and the audio between
//   the two recordings reaches the client as silence of its length. Stop reasons: the server
//   going away, and no default sink left to move to, are `stoppedBySystem` (a restarted server
//   or a returning sink is worth a new stream, which the host's recovery makes); the stream
//   failing on the sink that is still the default is `failed`.
// - Buffers carry the capture time of their first frame (libpulse's interpolated record latency
//   from the monotonic clock, which is the host's clock too). Audio a stream loses on the way
//   (holes, overflows, buffers the host's queue had no room for) is delivered as silence of its
//   length, so a track's length stays its time.
// - A sink monitor hears everything, the host included: there is nothing like a process tap,
//   so `processTaps` is null and the host uses the screen-capture-shaped path, whose "backend"
//   it reports.
// - The microphone is always `authorized` (the server has no per-application permission). An
//   engine records the default source; a default source that is a monitor is no input, so the
//   format is then absent. Buffers are cut to exactly the frames the tap asks for.
// - Default-input notifications come from the server's subscription when its default source
//   changes, and also when the server goes away and when it is back, and when an engine's
//   stream fails, since the running engine then records from nothing.
//
// Threads: every connection runs libpulse's threaded loop of its own; nothing reaches the host
// on those threads except microphone buffers (the engine's own thread, as the interface allows).
// System audio is copied to the stream's audio queue; stops and reconnects run on one platform
// queue made from `threads`.
class PulseAudio {
 public:
  PulseAudio(TimeSource& threads, ServerAddress server)
      : platformQueue_(threads.makeSerialQueue("pulse-audio-platform")),
        screenCapture_(server, *platformQueue_),
        microphone_(server, *platformQueue_) {}

  Audio audio() { return Audio{screenCapture_, nullptr, microphone_}; }

 private:
  std::unique_ptr<SerialQueue> platformQueue_;
  PulseScreenCapture screenCapture_;
  PulseMicrophone microphone_;
};

}  // namespace orvix::platform::pulse
