// Which clipboard changes a count read as of a tapped event leaves out, without an X server.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "platform/linux/desktop/clipboard_change_times.h"

namespace orvix::platform::linux_desktop {
namespace {

using namespace std::chrono_literals;
using Clock = ClipboardChangeTimes::Clock;

const Clock::time_point kStart = Clock::time_point{} + 1h;

TEST(ClipboardChangeTimes, AnEventOwnsOnlyOtherOwnersChangesSinceItAndSinceTheHostsLast) {
  ClipboardChangeTimes times;
  const Time pressed = 2000;
  times.record(1000, false, kStart);
  times.record(2000, false, kStart);  // the application's copy for the press
  EXPECT_EQ(times.unseenAsOf(pressed, kStart), 1);
  // The host pastes before the press's callback runs: the copy is gone from the clipboard.
  times.record(2050, true, kStart);
  EXPECT_EQ(times.unseenAsOf(pressed, kStart), 0);
  // A slow application's copy after the paste is still the press's.
  times.record(2100, false, kStart);
  EXPECT_EQ(times.unseenAsOf(pressed, kStart), 1);
}

TEST(ClipboardChangeTimes, ChangesWeeksOldAreNeverTakenForRecentOnes) {
  ClipboardChangeTimes times;
  times.record(5000, false, kStart);
  // Thirty days on, the server's clock is past half its wrap from the change.
  constexpr std::uint64_t thirtyDays = 30ull * 24 * 3600 * 1000;
  EXPECT_EQ(times.unseenAsOf(static_cast<std::uint32_t>(5000 + thirtyDays),
                             kStart + std::chrono::milliseconds(thirtyDays)),
            0);
  // A whole wrap on (49.7 days), it reads just before the change again.
  constexpr std::uint64_t wrap = 1ull << 32;
  EXPECT_EQ(times.unseenAsOf(4990, kStart + std::chrono::milliseconds(wrap)), 0);
}

}  // namespace
}  // namespace orvix::platform::linux_desktop
