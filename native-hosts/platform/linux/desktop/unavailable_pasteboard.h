#pragma once

#include "platform/pasteboard.h"

namespace orvix::platform::linux_desktop {

// No pasteboard binding on this machine: it holds nothing, refuses every string and never
// changes, so the host answers "failed"/"UNAVAILABLE" rather than "copy-only".
class UnavailablePasteboard final : public Pasteboard {
 public:
  std::int64_t clearContents() override { return 0; }
  bool setString(std::string_view) override { return false; }
  std::optional<std::string> string() override { return std::nullopt; }
  std::int64_t changeCount() override { return 0; }
};

}  // namespace orvix::platform::linux_desktop
