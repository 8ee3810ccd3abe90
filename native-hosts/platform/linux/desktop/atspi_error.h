#pragma once

#include <glib.h>

#include "platform/accessibility.h"

namespace orvix::platform::linux_desktop {

// Takes the error a libatspi call left (and frees it), as the host's error code: a call that
// got no answer in time is cannotComplete, a vanished application or object invalidUIElement,
// anything else failure. No error is success.
AXError consume(GError*& error);
// The outcome of a call that answers whether it did what was asked: its error if it left one,
// else success when it did and cannotComplete when it declined.
AXError consume(GError*& error, bool done);

}  // namespace orvix::platform::linux_desktop
