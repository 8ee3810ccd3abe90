// "commit-text": every outcome of a paste, the verification rules and streamed sessions.
#include "input_host_fixture.h"

namespace orvix::input_host::testing {
namespace {

using platform::TextRange;

class PasteTest : public InputHostTest {
 protected:
  PasteTest() { grantPermission(); }

  Json commit(const std::string& text, const std::string& commandId = "c") {
    return answer(commitText(commandId, text));
  }
  static Json unconfirmed(const std::string& commandId) {
    Json event = commandResult(commandId, "unknown");
    event["pasteDispatched"] = true;
    return event;
  }
  static Json result(std::string_view outcome, std::optional<std::string_view> reason = {}) {
    Json event = commandResult("c", outcome, reason);
    if (outcome == "unknown") event["pasteDispatched"] = true;
    return event;
  }
};

TEST_F(PasteTest, ConfirmedPasteIntoAnEmptyField) {
  EXPECT_EQ(commit("abc"), result("committed"));
  EXPECT_EQ(desktop.value(field), "abc");
  EXPECT_EQ(desktop.pasteboardText(), "abc");
  const auto downs = keyDowns();
  ASSERT_EQ(downs.size(), 1u);
  EXPECT_EQ(downs[0].keyCode, keyCodeV);
  EXPECT_EQ(downs[0].flags, platform::kEventFlagCommand);
  EXPECT_EQ(downs[0].userData, host.quickAdd().helperKeyEventMark());
}

TEST_F(PasteTest, SecureFieldIsRefusedWithoutTouchingThePasteboard) {
  desktop.focusElement(addElement(ElementKind::secureTextField));
  desktop.resetCounters();
  EXPECT_EQ(commit("secret"), result("failed", "PROTECTED_TARGET"));
  EXPECT_EQ(desktop.counters().pasteboardWrites(), 0);
  EXPECT_TRUE(keyDowns().empty());
}

TEST_F(PasteTest, ControlLeavesTheTextOnThePasteboard) {
  desktop.focusElement(addElement(ElementKind::button));
  EXPECT_EQ(commit("hello"), result("copy-only", "NO_EDITABLE_TARGET"));
  EXPECT_EQ(desktop.pasteboardText(), "hello");
  EXPECT_TRUE(keyDowns().empty());
}

TEST_F(PasteTest, PasteboardRefusingTheText) {
  desktop.setPasteboardSetStringFails(true);
  EXPECT_EQ(commit("hello"), result("failed", "UNAVAILABLE"));
  desktop.focusElement(addElement(ElementKind::button));
  EXPECT_EQ(commit("hello", "d"), commandResult("d", "failed", "UNAVAILABLE"));
  EXPECT_TRUE(keyDowns().empty());
}

TEST_F(PasteTest, PermissionDeniedAndPasteboardRefusing) {
  send(Json{{"schemaVersion", 2}, {"command", "permission.refresh"}, {"commandId", "p"},
            {"prompt", true}, {"responsiblePermission", "denied"}});
  desktop.setPasteboardSetStringFails(true);
  EXPECT_EQ(commit("x"), result("failed", "UNAVAILABLE"));
}

TEST_F(PasteTest, FocusTurningProtectedOrControlAfterTheWrite) {
  const ElementId secure = addElement(ElementKind::secureTextField);
  // The first focus reading takes 4 system-wide reads; the move lands before the second.
  desktop.moveFocusAfterSystemWideReads("AXFocusedUIElement", 2, desktop.focusTargetOf(secure));
  EXPECT_EQ(commit("abc"), result("failed", "PROTECTED_TARGET"));
  EXPECT_EQ(desktop.pasteboardText(), "abc");

  desktop.focusElement(field);
  const ElementId button = addElement(ElementKind::button);
  desktop.moveFocusAfterSystemWideReads("AXFocusedUIElement", 2, desktop.focusTargetOf(button));
  EXPECT_EQ(commit("def", "d"), commandResult("d", "copy-only", "NO_EDITABLE_TARGET"));
  EXPECT_EQ(desktop.pasteboardText(), "def");
  EXPECT_TRUE(keyDowns().empty());
}

TEST_F(PasteTest, KeystrokeThatCannotBeCreated) {
  desktop.setEventCreationFails(true);
  EXPECT_EQ(commit("abc"), result("copy-only", "UNAVAILABLE"));
  EXPECT_EQ(desktop.pasteboardText(), "abc");
}

TEST_F(PasteTest, FieldIgnoringThePasteIsUnconfirmed) {
  desktop.focusElement(addElement(ElementKind::ignoresPaste, "before"));
  EXPECT_EQ(commit("abc"), result("unknown"));
}

TEST_F(PasteTest, WebAreaIsConfirmedByTheCaretAlone) {
  desktop.focusElement(addElement(ElementKind::webTextArea, "hello "));
  EXPECT_EQ(commit("world"), result("committed"));
}

TEST_F(PasteTest, ElementReportingNothingIsUnconfirmed) {
  const ElementId mute = addElement(ElementKind::textArea);
  desktop.setAttributeError(mute, "AXValue", platform::AXError::attributeUnsupported);
  desktop.setAttributeError(mute, "AXSelectedTextRange", platform::AXError::attributeUnsupported);
  desktop.focusElement(mute);
  EXPECT_EQ(commit("abc"), result("unknown"));
}

TEST_F(PasteTest, FocusMovingDuringTheSettleIsUnconfirmed) {
  desktop.addApplication({600, "com.example.chat", "Chat", false});
  const ElementId chatWindow = desktop.addWindow(600, "Chat");
  ElementSpec spec(ElementKind::textField, chatWindow);
  const ElementId chatField = desktop.addElement(spec);
  desktop.moveFocusOnPaste(desktop.focusTargetOf(chatField));
  EXPECT_EQ(commit("abc"), result("unknown"));
  EXPECT_EQ(desktop.value(field), "abc");  // the paste landed before the focus moved
}

TEST_F(PasteTest, PasteLandingLateWithinTheSettleIsConfirmed) {
  desktop.setPasteLatency(field, std::chrono::milliseconds(80));
  EXPECT_EQ(commit("abc"), result("committed"));
  desktop.setValue(field, "");
  desktop.setSelectedRange(field, TextRange{0, 0});
  desktop.setPasteLatency(field, std::chrono::milliseconds(150));
  EXPECT_EQ(commit("abc", "d"), unconfirmed("d"));
}

TEST_F(PasteTest, SelectionReplacedByIdenticalTextNeedsTheCaret) {
  desktop.setValue(field, "xabcx");
  desktop.setSelectedRange(field, TextRange{1, 3});
  EXPECT_EQ(commit("abc"), result("committed"));
  EXPECT_EQ(desktop.value(field), "xabcx");
  EXPECT_EQ(desktop.selectedRange(field), (TextRange{4, 0}));

  // The same value with the selection still standing: nothing proves a paste happened.
  const ElementId stubborn = addElement(ElementKind::ignoresPaste, "xabcx");
  desktop.setSelectedRange(stubborn, TextRange{1, 3});
  desktop.focusElement(stubborn);
  EXPECT_EQ(commit("abc", "d"), unconfirmed("d"));
}

TEST_F(PasteTest, RangesCountUtf16CodeUnits) {
  // U+1F600 is two UTF-16 code units; the caret must move by 2 for each.
  desktop.setValue(field, "\xF0\x9F\x98\x80!");
  desktop.setSelectedRange(field, TextRange{2, 1});
  EXPECT_EQ(commit("\xF0\x9F\x98\x80\xF0\x9F\x98\x80"), result("committed"));
  EXPECT_EQ(desktop.value(field), "\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80");
  EXPECT_EQ(desktop.selectedRange(field), (TextRange{6, 0}));
}

TEST(ExpectedValueAfterPaste, RefusesRangesThatDoNotFit) {
  const std::u16string value = u"hello";
  EXPECT_EQ(expectedValueAfterPaste(value, {5, 0}, u"!"), u"hello!");
  EXPECT_EQ(expectedValueAfterPaste(value, {0, 5}, u"bye"), u"bye");
  EXPECT_FALSE(expectedValueAfterPaste(value, {6, 0}, u"!"));
  EXPECT_FALSE(expectedValueAfterPaste(value, {-1, 0}, u"!"));
  EXPECT_FALSE(expectedValueAfterPaste(value, {2, -1}, u"!"));
  EXPECT_FALSE(expectedValueAfterPaste(value, {2, 4}, u"!"));
  EXPECT_FALSE(expectedValueAfterPaste(value, {INT64_MAX, INT64_MAX}, u"!"));
}

TEST_F(PasteTest, AbsurdCaretFromTheApplicationDoesNotOverflow) {
  const ElementId web = addElement(ElementKind::ignoresPaste);
  desktop.setSelectedRange(web, TextRange{INT64_MAX, 0});
  desktop.focusElement(web);
  EXPECT_EQ(commit("abc"), result("unknown"));
}

TEST_F(PasteTest, CommitRemovesTheSessionCapture) {
  send(sessionCommand("target.capture", "cap"));
  ASSERT_TRUE(host.sessions().capturedTargets.contains("session"));
  commit("abc");
  EXPECT_FALSE(host.sessions().capturedTargets.contains("session"));
  EXPECT_TRUE(host.sessions().capturedTargetOrder.empty());
}

TEST_F(PasteTest, StreamedSessionIsHandedOverWholeAtRelease) {
  EXPECT_EQ(outcomeOf(streamText("p1", "a")), "committed");
  EXPECT_EQ(outcomeOf(streamText("p2", "b")), "committed");
  EXPECT_EQ(outcomeOf(streamText("p3", "c")), "committed");
  EXPECT_EQ(desktop.pasteboardText(), "c");
  EXPECT_TRUE(answers(sessionCommand("target.release", "r")).empty());
  EXPECT_EQ(desktop.pasteboardText(), "abc");
  EXPECT_EQ(host.sessions().streaming.find("session"), nullptr);
}

TEST_F(PasteTest, ReleaseLeavesTheUsersOwnCopyAlone) {
  outcomeOf(streamText("p1", "a"));
  outcomeOf(streamText("p2", "b"));
  desktop.simulateUserCopy("mine");
  send(sessionCommand("target.release", "r"));
  EXPECT_EQ(desktop.pasteboardText(), "mine");
}

TEST_F(PasteTest, FailedPieceIsNotPartOfTheHandOver) {
  outcomeOf(streamText("p1", "a"));
  desktop.focusElement(addElement(ElementKind::secureTextField));
  EXPECT_EQ(outcomeOf(streamText("p2", "SECRET")), "failed");
  desktop.focusElement(field);
  outcomeOf(streamText("p3", "c"));
  send(sessionCommand("target.release", "r"));
  EXPECT_EQ(desktop.pasteboardText(), "ac");
}

TEST_F(PasteTest, UnconfirmedAndCopyOnlyPiecesCount) {
  desktop.focusElement(addElement(ElementKind::ignoresPaste));
  EXPECT_EQ(outcomeOf(streamText("p1", "a")), "unknown");
  desktop.focusElement(addElement(ElementKind::button));
  EXPECT_EQ(outcomeOf(streamText("p2", "b")), "copy-only");
  send(sessionCommand("target.release", "r"));
  EXPECT_EQ(desktop.pasteboardText(), "ab");
}

TEST_F(PasteTest, NewCaptureEndsAPendingHandOver) {
  outcomeOf(streamText("p1", "a"));
  outcomeOf(streamText("p2", "b"));
  send(sessionCommand("target.capture", "cap"));
  desktop.setPasteboard("b", desktop.pasteboardChangeCount());
  send(sessionCommand("target.release", "r"));
  EXPECT_EQ(desktop.pasteboardText(), "b");
}

TEST_F(PasteTest, PlainCommitLeavesStreamingStateAlone) {
  outcomeOf(streamText("p1", "a"));
  commit("zzz", "plain");
  EXPECT_EQ(host.sessions().streaming.find("session")->text, "a");
}

class StreamingBoundsTest : public PasteTest {
 protected:
  // One streamed piece in each of `count` other sessions.
  void streamOthers(const std::string& prefix, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      const std::string id = prefix + std::to_string(i);
      ASSERT_EQ(outcomeOf(streamText(id, "x", id)), "committed");
    }
  }
};

TEST_F(StreamingBoundsTest, TheSessionIdleLongestLosesItsTextFirst) {
  outcomeOf(streamText("p1", "Hello", "live"));
  streamOthers("early", maximumStreamingSessions - 1);
  outcomeOf(streamText("p2", " big", "live"));
  // One session too many: the idlest is an early one, not the one that started first.
  streamOthers("late", 1);
  outcomeOf(streamText("p3", " world", "live"));
  send(sessionCommand("target.release", "r", "live"));
  EXPECT_EQ(desktop.pasteboardText(), "Hello big world");
}

TEST_F(StreamingBoundsTest, ASessionThatLostItsTextNeverHandsOverTheRest) {
  // Dropped for newer streaming sessions, or with its capture; then two more pieces arrive.
  outcomeOf(streamText("p1", "Hello", "streamed"));
  streamOthers("other", maximumStreamingSessions);
  send(sessionCommand("target.capture", "cap", "captured"));
  outcomeOf(streamText("q1", "Hello", "captured"));
  for (std::size_t i = 0; i < maximumCapturedTargets; ++i) {
    const auto number = std::to_string(i);
    send(sessionCommand("target.capture", std::string("cap").append(number),
                        std::string("c").append(number)));
  }
  for (const std::string session : {"streamed", "captured"}) {
    outcomeOf(streamText(session + "-2", " big", session));
    outcomeOf(streamText(session + "-3", " world", session));
    const auto count = desktop.pasteboardChangeCount();
    send(sessionCommand("target.release", session + "-release", session));
    EXPECT_EQ(desktop.pasteboardText(), " world") << session;
    EXPECT_EQ(desktop.pasteboardChangeCount(), count) << session;
  }
  // Released, the session id starts over like any new one.
  outcomeOf(streamText("again-1", "New", "streamed"));
  outcomeOf(streamText("again-2", " text", "streamed"));
  send(sessionCommand("target.release", "again-release", "streamed"));
  EXPECT_EQ(desktop.pasteboardText(), "New text");
}

// The general pasteboard as the copy observer sees it: at each write, whether the host had
// marked a write of its own as in progress.
class DepthRecordingPasteboard final : public platform::Pasteboard {
 public:
  explicit DepthRecordingPasteboard(platform::Pasteboard& inner) : inner_(inner) {}
  QuickAdd* quickAdd = nullptr;
  std::vector<std::int64_t> depthAtWrites;

  std::int64_t clearContents() override {
    depthAtWrites.push_back(quickAdd->clipboardWriteDepth());
    return inner_.clearContents();
  }
  bool setString(std::string_view text) override {
    depthAtWrites.push_back(quickAdd->clipboardWriteDepth());
    return inner_.setString(text);
  }
  std::optional<std::string> string() override { return inner_.string(); }
  std::int64_t changeCount() override { return inner_.changeCount(); }

 private:
  platform::Pasteboard& inner_;
};

TEST_F(InputHostTest, EveryPasteboardWriteIsMarkedAsTheHostsOwn) {
  // The copy observer must never take the host's writes for the user's, and must see the depth
  // back at 0 after each, whatever the outcome.
  DepthRecordingPasteboard pasteboard(platformDesktop.pasteboard);
  platform::Desktop recorded{platformDesktop.accessibility, platformDesktop.inputEvents,
                             platformDesktop.workspace, pasteboard, platformDesktop.processInfo,
                             platformDesktop.windowList};
  MemoryLineSink sink;
  InputHost observed(recorded, time, sink);
  pasteboard.quickAdd = &observed.quickAdd();
  auto sendObserved = [&](const Json& command) { observed.handleLine(command.dump()); };

  sendObserved(commitText("denied", "abc"));
  sendObserved(Json{{"schemaVersion", 2}, {"command", "permission.refresh"}, {"commandId", "p"},
                    {"prompt", false}, {"responsiblePermission", "trusted"}});
  sendObserved(commitText("pasted", "abc"));
  sendObserved(streamText("piece", "abc"));
  sendObserved(sessionCommand("target.release", "release"));
  desktop.setPasteboardSetStringFails(true);
  sendObserved(commitText("refused", "abc"));

  // A clear and a set for each write: denied, pasted, the piece, its hand-over, refused.
  EXPECT_EQ(pasteboard.depthAtWrites, std::vector<std::int64_t>(10, 1));
  EXPECT_EQ(observed.quickAdd().clipboardWriteDepth(), 0);
}

}  // namespace
}  // namespace orvix::input_host::testing
