#pragma once

#include "platform/desktop.h"
#include "platform/linux/desktop/linux_process_info.h"
#include "platform/linux/desktop/linux_workspace.h"
#include "platform/linux/desktop/unavailable_accessibility.h"
#include "platform/linux/desktop/unavailable_input_events.h"
#include "platform/linux/desktop/unavailable_pasteboard.h"
#include "platform/linux/desktop/unavailable_window_list.h"

namespace orvix::platform::linux_desktop {

// The desktop as this Linux machine offers it to the input host: real process facts, and for
// everything else a binding that answers "unavailable" honestly.
class LinuxDesktop {
 public:
  Desktop desktop() {
    return Desktop{accessibility_, inputEvents_, workspace_, pasteboard_, processInfo_,
                   windowList_};
  }

 private:
  UnavailableAccessibility accessibility_;
  UnavailableInputEvents inputEvents_;
  LinuxWorkspace workspace_;
  UnavailablePasteboard pasteboard_;
  LinuxProcessInfo processInfo_;
  UnavailableWindowList windowList_;
};

}  // namespace orvix::platform::linux_desktop
