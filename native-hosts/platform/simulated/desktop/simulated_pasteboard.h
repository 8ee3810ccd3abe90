#pragma once

#include "platform/pasteboard.h"
#include "platform/simulated/desktop/desktop_world.h"

namespace orvix::platform::simulated {

// The general pasteboard of the simulated desktop.
//
// Change count: clearContents moves it by one and makes this process the owner; a setString
// right after that clear belongs to the same change and leaves the count alone (the host's
// clear-then-set is one write, as on macOS). A setString without a clear of its own first, or
// after someone else wrote, is a new change and moves the count. A refused setString leaves the
// pasteboard cleared.
class SimulatedPasteboard final : public Pasteboard {
 public:
  explicit SimulatedPasteboard(DesktopModel& model) : model_(model) {}

  std::int64_t clearContents() override;
  bool setString(std::string_view text) override;
  std::optional<std::string> string() override;
  std::int64_t changeCount() override;

 private:
  DesktopModel& model_;
};

}  // namespace orvix::platform::simulated
