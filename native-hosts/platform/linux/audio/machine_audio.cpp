#include "platform/machine_audio.h"

#include "platform/linux/audio/unavailable_audio.h"

namespace orvix::platform {

namespace {
class LinuxMachineAudio final : public MachineAudio {
 public:
  Audio audio() override { return machine_.audio(); }

 private:
  linux_audio::LinuxAudio machine_;
};
}  // namespace

std::unique_ptr<MachineAudio> makeMachineAudio() { return std::make_unique<LinuxMachineAudio>(); }

}  // namespace orvix::platform
