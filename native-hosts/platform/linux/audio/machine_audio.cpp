#include "platform/machine_audio.h"

#include "common/time/real_time_source.h"
#include "platform/linux/audio/pulse_audio.h"

namespace orvix::platform {

namespace {
// The machine's audio server, found as every libpulse client finds it (PULSE_SERVER, the
// session's socket); PipeWire desktops answer through pipewire-pulse.
class LinuxMachineAudio final : public MachineAudio {
 public:
  Audio audio() override { return pulse_.audio(); }

 private:
  RealTimeSource threads_;
  pulse::PulseAudio pulse_{threads_, std::nullopt};
};
}  // namespace

std::unique_ptr<MachineAudio> makeMachineAudio() { return std::make_unique<LinuxMachineAudio>(); }

}  // namespace orvix::platform
