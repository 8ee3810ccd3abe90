// Copies seen by quick-add's tap: reading what they put on the pasteboard, and pairing two
// copies of the same short text into a vocabulary candidate.
#include "input_host_fixture.h"
#include "OrvixInputHost/quick-add/vocabulary_text.h"

namespace orvix::input_host::testing {
namespace {

using std::chrono::milliseconds;

class QuickAddCopyTest : public InputHostTest {
 protected:
  QuickAddCopyTest() {
    grantPermission();
    send(R"({"schemaVersion":2,"command":"vocabulary.quick-add.configure","commandId":"q","enabled":true})");
    time.runUntilIdle();
    output.clear();
  }
  // The user presses Command-C and the application writes `text` 5 ms later (or nothing).
  void copy(std::optional<std::string> text) {
    desktop.userKeyDown(8, platform::kEventFlagCommand, kEditorPid);
    time.runUntilIdle();
    time.advanceBy(milliseconds(5));
    if (text) desktop.simulateUserCopy(*text);
  }
  // The quick-add events so far, by event name, stage or diagnostic step and reason.
  std::vector<std::string> seen() {
    std::vector<std::string> names;
    for (const auto& event : eventsOf(output)) {
      const std::string name = event.value("event", "");
      if (name == "vocabulary.quick-add.observation") {
        names.push_back(event.value("stage", ""));
      } else if (name == "vocabulary.quick-add.diagnostic") {
        const Json& diagnostic = event["diagnostic"];
        names.push_back(diagnostic.value("step", "") + "/" + diagnostic.value("reason", ""));
        EXPECT_EQ(diagnostic.value("source", ""), "keyboard");
        EXPECT_EQ(diagnostic.value("eventTargetPid", -1), kEditorPid);
      } else if (name == "vocabulary.quick-add.candidate") {
        std::string candidate = "candidate ";
        candidate.append(event.value("text", "")).append(" ");
        candidate.append(std::to_string(event.value("intervalMs", -1)));
        names.push_back(candidate);
        EXPECT_TRUE(event.value("eventId", "").starts_with("copy-"));
      } else {
        names.push_back(name);
      }
    }
    return names;
  }
  using Seen = std::vector<std::string>;
};

TEST_F(QuickAddCopyTest, TwoCopiesOfOneWordWithin600MillisecondsMakeOneCandidate) {
  copy("Kubernetes");
  time.advanceBy(milliseconds(295));
  copy("Kubernetes");
  time.advanceBy(milliseconds(1000));
  EXPECT_EQ(seen(), (Seen{"copy-key", "first-copy", "clipboard/selected", "copy-key",
                          "candidate Kubernetes 300", "clipboard/selected"}));

  // 700 ms apart the first has expired: the second starts a pair of its own.
  output.clear();
  copy("Kubernetes");
  time.advanceBy(milliseconds(695));
  copy("Kubernetes");
  time.advanceBy(milliseconds(1000));
  EXPECT_EQ(seen(), (Seen{"copy-key", "first-copy", "clipboard/selected", "copy-key",
                          "first-copy", "clipboard/selected"}));
}

TEST_F(QuickAddCopyTest, OnlyTheSameTextWithNothingWrittenBetweenPairs) {
  copy("one");
  time.advanceBy(milliseconds(100));
  copy("two");
  time.advanceBy(milliseconds(100));
  copy("one");
  time.advanceBy(milliseconds(1000));
  for (const auto& name : seen()) EXPECT_FALSE(name.starts_with("candidate")) << name;

  // The host's own paste between two copies discards the first.
  output.clear();
  copy("Kubernetes");
  time.advanceBy(milliseconds(100));
  host.quickAdd().beginClipboardWrite();
  host.quickAdd().invalidate();
  host.quickAdd().endClipboardWrite();
  copy("Kubernetes");
  time.advanceBy(milliseconds(1000));
  for (const auto& name : seen()) EXPECT_FALSE(name.starts_with("candidate")) << name;
}

TEST_F(QuickAddCopyTest, ACopyThatLeavesNoEligibleTextEndsUnchanged) {
  for (const std::string& text :
       {std::string(65, 'k'), std::string("two\nlines"), std::string(" \t\xE3\x80\x80 ")}) {
    output.clear();
    copy(text);
    time.advanceBy(milliseconds(1000));
    EXPECT_EQ(seen(), (Seen{"copy-key", "clipboard-unchanged", "clipboard/timeout"})) << text;
  }
  // An application that writes nothing: read fourteen times, 12 ms apart, then given up.
  output.clear();
  const auto pressed = time.now();
  copy(std::nullopt);
  time.advanceBy(milliseconds(150));
  EXPECT_EQ(seen(), Seen{"copy-key"});
  time.advanceTo(pressed + milliseconds(13 * 12));
  EXPECT_EQ(seen(), (Seen{"copy-key", "clipboard-unchanged", "clipboard/timeout"}));
}

TEST_F(QuickAddCopyTest, TextAlreadyOnThePasteboardIsReadToTheLastAttemptAndStillPairs) {
  // The application rewrites nothing: the second copy finds the first copy's text unchanged.
  copy("Kubernetes");
  time.advanceBy(milliseconds(95));
  copy(std::nullopt);
  time.advanceBy(milliseconds(1000));
  EXPECT_EQ(seen(), (Seen{"copy-key", "first-copy", "clipboard/selected", "copy-key",
                          "candidate Kubernetes 100", "clipboard/selected"}));
}

TEST(VocabularyText, LengthIsCountedInUtf16UnitsAndWhiteSpaceIsNotText) {
  const std::string face = "\xF0\x9F\x98\x80";  // two UTF-16 units
  std::string faces;
  for (int i = 0; i < 32; ++i) faces += face;
  EXPECT_TRUE(eligibleVocabularyText(faces));
  EXPECT_FALSE(eligibleVocabularyText(faces + "a"));
  EXPECT_TRUE(eligibleVocabularyText(" padded "));  // kept as it is, spaces and all
  EXPECT_FALSE(eligibleVocabularyText("\xC2\xA0\xE2\x80\xAF"));
  EXPECT_FALSE(eligibleVocabularyText(std::string("a\0b", 3)));
  EXPECT_FALSE(eligibleVocabularyText("\xFF"));
}

}  // namespace
}  // namespace orvix::input_host::testing
