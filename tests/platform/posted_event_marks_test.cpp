// Which XTest transitions the event tap hands the host's marks to, without an X server.
#include <gtest/gtest.h>

#include <span>

#include "platform/linux/desktop/posted_event_marks.h"

namespace orvix::platform::linux_desktop {
namespace {

constexpr XTestTransition kControlDown{false, 37, true};
constexpr XTestTransition kCDown{false, 54, true};
constexpr XTestTransition kYDown{false, 29, true};
constexpr XTestTransition kShiftUp{false, 50, false};

TEST(PostedEventMarks, OnlyTransitionsTheHostInjectedCarryItsMark) {
  PostedEventMarks marks;
  const XTestTransition copy[] = {kControlDown, kCDown};
  marks.injected(77, 5000, copy);
  // Another XTest client's key lands between the host's post and the host's own keys.
  EXPECT_EQ(marks.take(kYDown, 5000), 0);
  EXPECT_EQ(marks.take(kControlDown, 5001), 77);
  EXPECT_EQ(marks.take(kCDown, 5001), 77);
  // The same key again, once the host's was seen, is someone else's.
  EXPECT_EQ(marks.take(kCDown, 5002), 0);

  // Stamped before the host posted it, the same key is not the host's either.
  marks.injected(78, 6000, std::span(&kCDown, 1));
  EXPECT_EQ(marks.take(kCDown, 5999), 0);
  EXPECT_EQ(marks.take(kCDown, 6000), 78);

  // A transition the server never reported (a release it dropped) is not handed to another
  // client's like it seconds later.
  marks.injected(79, 7000, std::span(&kShiftUp, 1));
  EXPECT_EQ(marks.take(kShiftUp, 9000), 0);
}

}  // namespace
}  // namespace orvix::platform::linux_desktop
