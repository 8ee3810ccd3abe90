// Pastes as a macOS text field applies them: at the selection, counted in UTF-16 code units.
// A fault here would make the host's verification look right or wrong for the wrong reason.

#include <gtest/gtest.h>

#include "desktop_test_support.h"
#include "platform/simulated/desktop/utf16_text.h"

namespace orvix::platform::simulated {
namespace {

using testing::DesktopTest;

const std::string kGrin = "\xF0\x9F\x98\x80";  // U+1F600, two UTF-16 units

TEST(Utf16TextTest, EditsCountUtf16UnitsAndNeverSplitACharacter) {
  EXPECT_EQ(utf16Units("ab" + kGrin + "\xC3\xA9"), 5);  // a b <pair> é
  EXPECT_EQ(utf16Units("\xFF"), 1);                     // one replacement character

  TextEdit edit = replaceSelection("ab" + kGrin + "cd", TextRange{4, 0}, "X" + kGrin);
  EXPECT_EQ(edit.value, "ab" + kGrin + "X" + kGrin + "cd");
  EXPECT_EQ(edit.caret, (TextRange{7, 0}));

  // A caret between the two halves of the emoji moves before it rather than cutting it.
  edit = replaceSelection("a" + kGrin, TextRange{2, 0}, "X");
  EXPECT_EQ(edit.value, "aX" + kGrin);
  EXPECT_EQ(edit.caret, (TextRange{2, 0}));

  // Selections outside the text are clamped into it.
  EXPECT_EQ(replaceSelection("abc", TextRange{10, 5}, "X").value, "abcX");
  EXPECT_EQ(replaceSelection("abc", TextRange{-3, 2}, "X").value, "Xabc");
  EXPECT_EQ(replaceSelection("abc", TextRange{1, INT64_MAX}, "X").value, "aX");
  EXPECT_EQ(selectedText("ab" + kGrin + "cd", TextRange{2, 2}), kGrin);
}

TEST_F(DesktopTest, PasteInsertsAtTheCaretAndMovesItPastTheText) {
  desktop.setValue(field, "ab" + kGrin + "cd");
  desktop.setSelectedRange(field, TextRange{4, 0});
  paste("X" + kGrin);
  EXPECT_EQ(std::get<std::string>(read(field, "AXValue").value), "ab" + kGrin + "X" + kGrin + "cd");
  EXPECT_EQ(std::get<TextRange>(read(field, "AXSelectedTextRange").value), (TextRange{7, 0}));
}

TEST_F(DesktopTest, PasteReplacesTheSelectionEvenWithIdenticalText) {
  desktop.setValue(field, "hello world");
  desktop.setSelectedRange(field, TextRange{6, 5});
  EXPECT_EQ(std::get<std::string>(read(field, "AXSelectedText").value), "world");
  paste("there");
  EXPECT_EQ(desktop.value(field), "hello there");
  EXPECT_EQ(desktop.selectedRange(field), (TextRange{11, 0}));

  desktop.setValue(field, "abc");
  desktop.setSelectedRange(field, TextRange{0, 3});
  paste("abc");
  EXPECT_EQ(desktop.value(field), "abc");
  EXPECT_EQ(desktop.selectedRange(field), (TextRange{3, 0}));
}

TEST_F(DesktopTest, WebTextAreaTakesThePasteButReportsOnlyItsCaret) {
  const ElementId web = desktop.addElement(ElementSpec(ElementKind::webTextArea, editorWindow));
  desktop.focusElement(web);
  paste(kGrin);
  EXPECT_EQ(read(web, "AXValue").error, AXError::attributeUnsupported);
  EXPECT_EQ(std::get<TextRange>(read(web, "AXSelectedTextRange").value), (TextRange{2, 0}));
  EXPECT_EQ(desktop.value(web), kGrin);  // it did arrive
}

TEST_F(DesktopTest, FieldsThatTakeNoPasteStayUnchanged) {
  const ElementId ignoring =
      desktop.addElement(ElementSpec(ElementKind::ignoresPaste, editorWindow).withValue("x"));
  const ElementId button = desktop.addElement(ElementSpec(ElementKind::button, editorWindow));
  const ElementId secure =
      desktop.addElement(ElementSpec(ElementKind::secureTextField, editorWindow));
  desktop.focusElement(ignoring);
  paste("abc");
  EXPECT_EQ(desktop.value(ignoring), "x");
  desktop.focusElement(button);
  paste("abc");
  EXPECT_EQ(read(button, "AXValue").error, AXError::attributeUnsupported);

  // A secure field takes the text but never shows it.
  desktop.focusElement(secure);
  paste("pw");
  EXPECT_EQ(std::get<std::string>(read(secure, "AXSubrole").value), "AXSecureTextField");
  EXPECT_EQ(read(secure, "AXValue").error, AXError::noValue);
  EXPECT_EQ(desktop.value(secure), "pw");
}

TEST_F(DesktopTest, OnlyACommandVKeyDownPastes) {
  desktop.simulateUserCopy("abc");
  postKey(9);                                         // V alone
  postKey(9, kEventFlagCommand | kEventFlagControl);  // another shortcut
  postKey(36, kEventFlagCommand);                     // Command+Return
  postKey(126);                                       // Up arrow
  EXPECT_EQ(desktop.value(field), "");
  EXPECT_EQ(desktop.postedEvents().size(), 8u);

  desktop.setPasteboard(std::nullopt, 10);  // nothing to paste
  postKey(9, kEventFlagCommand);
  EXPECT_EQ(desktop.value(field), "");
}

TEST_F(DesktopTest, ALatePasteLandsAfterItsLatencyOnVirtualTime) {
  desktop.setPasteLatency(field, std::chrono::milliseconds(150));
  paste("late");
  EXPECT_EQ(desktop.value(field), "");
  time.advanceBy(std::chrono::milliseconds(149));
  EXPECT_EQ(desktop.value(field), "");
  time.advanceBy(std::chrono::milliseconds(1));
  EXPECT_EQ(desktop.value(field), "late");
}

}  // namespace
}  // namespace orvix::platform::simulated
