#pragma once

#include "platform/accessibility.h"
#include "platform/input_events.h"
#include "platform/pasteboard.h"
#include "platform/process_info.h"
#include "platform/window_list.h"
#include "platform/workspace.h"

namespace orvix::platform {

// The desktop areas the input host acts through, handed to it as one bundle.
struct Desktop {
  Accessibility& accessibility;
  InputEvents& inputEvents;
  Workspace& workspace;
  Pasteboard& pasteboard;
  ProcessInfo& processInfo;
  WindowList& windowList;
};

}  // namespace orvix::platform
