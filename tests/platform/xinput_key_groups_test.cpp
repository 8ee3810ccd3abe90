// Which symbol of a key the X11 event tap reports, by keyboard group, without an X server.
#include <gtest/gtest.h>

#include <X11/XKBlib.h>
#include <X11/keysym.h>

#include <vector>

#include "platform/linux/desktop/xinput_event_tap.h"

namespace orvix::platform::linux_desktop {
namespace {

constexpr std::uint16_t kC = 8;
constexpr std::uint16_t kA = 0;
constexpr std::uint16_t kQ = 12;
constexpr std::uint16_t kLeftBracket = 33;

unsigned char groupInfo(unsigned groups, unsigned action, unsigned redirectTo = 0) {
  return static_cast<unsigned char>(XkbSetGroupInfo(groups, action, redirectTo));
}

TEST(XInputKeyGroups, AKeyWithEveryGroupUsesTheCurrentOne) {
  EXPECT_EQ(keyGroupFor(0, groupInfo(2, XkbWrapIntoRange)), 0u);
  EXPECT_EQ(keyGroupFor(1, groupInfo(2, XkbWrapIntoRange)), 1u);
  EXPECT_EQ(keyGroupFor(3, groupInfo(4, XkbClampIntoRange)), 3u);
}

TEST(XInputKeyGroups, AKeyWithFewerGroupsFollowsItsOutOfRangeRule) {
  // Control on `ru,us` has one group: group 2 (us) reads its only one.
  EXPECT_EQ(keyGroupFor(1, groupInfo(1, XkbWrapIntoRange)), 0u);
  EXPECT_EQ(keyGroupFor(3, groupInfo(2, XkbWrapIntoRange)), 1u);
  EXPECT_EQ(keyGroupFor(3, groupInfo(2, XkbClampIntoRange)), 1u);
  EXPECT_EQ(keyGroupFor(3, groupInfo(3, XkbRedirectIntoRange, 1)), 1u);
  // A redirect out of the key's own range goes to the first group, as XkbTranslateKeyCode does.
  EXPECT_EQ(keyGroupFor(3, groupInfo(2, XkbRedirectIntoRange, 2)), 0u);
  EXPECT_FALSE(keyGroupFor(0, groupInfo(0, XkbWrapIntoRange)));
}

TEST(XInputKeyGroups, TheCurrentGroupsSymbolWinsWhenItHasACode) {
  // fr,us: the key of US Q types a in French.
  const std::vector<KeySym> frenchThenUs = {XK_a, XK_q};
  EXPECT_EQ(hostCodeOfKey(frenchThenUs, 0), kA);
  EXPECT_EQ(hostCodeOfKey(frenchThenUs, 1), kQ);
}

TEST(XInputKeyGroups, ANonLatinSymbolFallsBackToALatinGroup) {
  const std::vector<KeySym> russianThenUs = {XK_Cyrillic_es, XK_c};
  EXPECT_EQ(hostCodeOfKey(russianThenUs, 0), kC);
  const std::vector<KeySym> usThenGreek = {XK_c, XK_Greek_psi};
  EXPECT_EQ(hostCodeOfKey(usThenGreek, 1), kC);
  // The first Latin group in the keyboard's order, not the last.
  const std::vector<KeySym> greekFrenchUs = {XK_Greek_alpha, XK_a, XK_q};
  EXPECT_EQ(hostCodeOfKey(greekFrenchUs, 0), kA);
  // A Latin-1 symbol of the current group without a code also looks further (ü on de,us is
  // the key of US [, as a key code on macOS would say).
  const std::vector<KeySym> germanThenUs = {XK_udiaeresis, XK_bracketleft};
  EXPECT_EQ(hostCodeOfKey(germanThenUs, 0), kLeftBracket);
}

TEST(XInputKeyGroups, OnlyLatin1SymbolsOfOtherGroupsAreTaken) {
  // The other group's symbol is no Latin letter: no code, rather than a guess.
  const std::vector<KeySym> russianThenGreek = {XK_Cyrillic_es, XK_Greek_psi};
  EXPECT_FALSE(hostCodeOfKey(russianThenGreek, 0));
  // Keys outside Latin-1 (Return, arrows) are the same in every group, so the current one has
  // them; another group's function key is not borrowed.
  const std::vector<KeySym> nothingThenReturn = {NoSymbol, XK_Return};
  EXPECT_FALSE(hostCodeOfKey(nothingThenReturn, 0));
  const std::vector<KeySym> returnOnly = {XK_Return};
  EXPECT_EQ(hostCodeOfKey(returnOnly, 0), 36);
  EXPECT_FALSE(hostCodeOfKey({}, 0));
  // A group past the symbols (a key that answered none) still looks at the ones there are.
  const std::vector<KeySym> usOnly = {XK_c};
  EXPECT_EQ(hostCodeOfKey(usOnly, 5), kC);
}

}  // namespace
}  // namespace orvix::platform::linux_desktop
