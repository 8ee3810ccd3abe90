#pragma once

#include <memory>

#include "platform/audio.h"

namespace orvix::platform {

// The audio of the machine the program was built for; the areas it hands out live as long as it
// does. Which binding stands behind it is chosen by ORVIX_PLATFORM
// (platform/<platform>/audio/machine_audio.cpp), never by the caller.
class MachineAudio {
 public:
  virtual ~MachineAudio() = default;
  virtual Audio audio() = 0;
};

std::unique_ptr<MachineAudio> makeMachineAudio();

}  // namespace orvix::platform
