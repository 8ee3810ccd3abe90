// The desktop interfaces as the input host relies on them, asked of the simulated desktop and
// of the X11/AT-SPI binding alike: what one answers, the other must too.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "tests/platform/conformance/desktop_world.h"

namespace orvix::platform::conformance {
namespace {

using WorldFactory = std::unique_ptr<DesktopWorld> (*)();

class DesktopConformance : public ::testing::TestWithParam<WorldFactory> {
 protected:
  void SetUp() override {
    world = GetParam()();
    if (!world) GTEST_SKIP() << "no desktop";
    // Each test starts on an empty entry with the focus.
    entry = find([this](const AXElement& element) {
      return string(element, "AXRole") == "AXTextField" && !string(element, "AXSubrole");
    });
    ASSERT_TRUE(entry);
    ASSERT_EQ(ax().setAttributeValue(*entry, "AXFocused", true), AXError::success);
    ASSERT_EQ(ax().setAttributeValue(*entry, "AXValue", std::string()), AXError::success);
    ASSERT_TRUE(world->waitFor([&] { return focused() == entry && string(*entry, "AXValue") == ""; }));
  }

  Accessibility& ax() { return world->desktop().accessibility; }

  std::optional<std::string> string(const AXElement& element, std::string_view attribute) {
    auto result = ax().copyAttributeValue(element, attribute);
    if (auto* value = std::get_if<std::string>(&result.value)) return *value;
    return std::nullopt;
  }
  std::optional<AXElement> element(const AXElement& from, std::string_view attribute) {
    auto result = ax().copyAttributeValue(from, attribute);
    if (auto* value = std::get_if<AXElement>(&result.value)) return *value;
    return std::nullopt;
  }
  std::optional<AXElement> focused() {
    return element(ax().systemWideElement(), "AXFocusedUIElement");
  }
  // The first element of the application's focused window, breadth first, that `matches`.
  template <typename Match>
  std::optional<AXElement> find(Match matches) {
    const auto window = element(ax().applicationElement(world->applicationPid()), "AXFocusedWindow");
    if (!window) return std::nullopt;
    std::deque<AXElement> pending{*window};
    for (int visited = 0; !pending.empty() && visited < 500; ++visited) {
      const AXElement next = pending.front();
      pending.pop_front();
      if (matches(next)) return next;
      auto children = ax().copyAttributeValue(next, "AXChildren");
      if (auto* list = std::get_if<std::vector<AXElement>>(&children.value)) {
        pending.insert(pending.end(), list->begin(), list->end());
      }
    }
    return std::nullopt;
  }
  void postKey(std::uint16_t keyCode, EventFlags flags, std::int64_t mark) {
    InputEvents& events = world->desktop().inputEvents;
    for (const bool down : {true, false}) {
      auto event = events.createKeyboardEvent(nullptr, keyCode, down);
      ASSERT_NE(event, nullptr);
      event->setFlags(flags);
      event->setIntegerField(EventField::eventSourceUserData, mark);
      events.post(EventTapLocation::hid, *event);
    }
  }

  std::unique_ptr<DesktopWorld> world;
  std::optional<AXElement> entry;
};

TEST_P(DesktopConformance, AccessibilityFindsTheFocusedEntryAndItsOwners) {
  EXPECT_TRUE(ax().isProcessTrusted());
  const AXElement systemWide = ax().systemWideElement();
  const auto application = element(systemWide, "AXFocusedApplication");
  ASSERT_TRUE(application);
  EXPECT_EQ(ax().processId(*application).pid, world->applicationPid());
  // A fresh read names the same element: equal, and hashed alike.
  const auto again = focused();
  ASSERT_TRUE(again);
  EXPECT_TRUE(*again == *entry);
  EXPECT_EQ(again->hash(), entry->hash());
  EXPECT_EQ(ax().processId(*entry).pid, world->applicationPid());
  const auto settable = ax().isAttributeSettable(*entry, "AXValue");
  EXPECT_EQ(settable.error, AXError::success);
  EXPECT_TRUE(settable.settable);
  const auto window = element(*entry, "AXWindow");
  ASSERT_TRUE(window);
  EXPECT_EQ(string(*window, "AXRole"), "AXWindow");
  EXPECT_EQ(ax().processId(*window).pid, world->applicationPid());
}

TEST_P(DesktopConformance, AccessibilityCountsTextInUtf16) {
  // e + combining acute (2 units), the globe (a surrogate pair), x.
  const std::string text = "e\u0301\U0001F30Dx";
  ASSERT_EQ(ax().setAttributeValue(*entry, "AXValue", text), AXError::success);
  ASSERT_TRUE(world->waitFor([&] { return string(*entry, "AXValue") == text; }));
  ASSERT_EQ(ax().setAttributeValue(*entry, "AXSelectedTextRange", TextRange{1, 3}), AXError::success);
  ASSERT_TRUE(world->waitFor([&] {
    const auto range = ax().copyAttributeValue(*entry, "AXSelectedTextRange");
    return std::get_if<TextRange>(&range.value) && std::get<TextRange>(range.value) == TextRange{1, 3};
  }));
  EXPECT_EQ(string(*entry, "AXSelectedText"), "\u0301\U0001F30D");
  const auto count = ax().copyAttributeValue(*entry, "AXNumberOfCharacters");
  ASSERT_NE(std::get_if<double>(&count.value), nullptr);
  EXPECT_EQ(std::get<double>(count.value), 5);
  const auto piece = ax().copyParameterizedAttributeValue(*entry, "AXStringForRange", TextRange{2, 2});
  EXPECT_EQ(std::get<std::string>(piece.value), "\U0001F30D");
}

TEST_P(DesktopConformance, AccessibilityMarksThePasswordEntrySecure) {
  const auto password = find([this](const AXElement& element) {
    return string(element, "AXSubrole") == "AXSecureTextField";
  });
  ASSERT_TRUE(password);
  EXPECT_EQ(string(*password, "AXRole"), "AXTextField");
  ASSERT_EQ(ax().setAttributeValue(*password, "AXFocused", true), AXError::success);
  EXPECT_TRUE(world->waitFor([&] { return focused() == password; }));
}

TEST_P(DesktopConformance, ObserverHearsFocusMovesOnlyWhileOnTheLoop) {
  const auto password = find([this](const AXElement& element) {
    return string(element, "AXSubrole") == "AXSecureTextField";
  });
  ASSERT_TRUE(password);
  std::vector<std::pair<AXElement, std::string>> heard;
  int context = 0;
  auto created = ax().createObserver(
      world->applicationPid(), [&](const AXElement& element, std::string_view name, void* given) {
        EXPECT_EQ(given, &context);
        heard.emplace_back(element, name);
      });
  ASSERT_EQ(created.error, AXError::success);
  AXObserver& observer = *created.observer;
  const AXElement application = ax().applicationElement(world->applicationPid());
  ASSERT_EQ(observer.addNotification(application, "AXFocusedUIElementChanged", &context),
            AXError::success);
  EXPECT_EQ(observer.addNotification(application, "AXFocusedUIElementChanged", &context),
            AXError::notificationAlreadyRegistered);
  observer.addRunLoopSource(world->loop());

  ASSERT_EQ(ax().setAttributeValue(*password, "AXFocused", true), AXError::success);
  ASSERT_TRUE(world->waitFor([&] { return !heard.empty(); }));
  // Each names the element that took the focus, never the one that lost it.
  for (const auto& [element, name] : heard) {
    EXPECT_TRUE(element == *password);
    EXPECT_EQ(name, "AXFocusedUIElementChanged");
  }

  // Off the loop, no focus move reaches the callback, not even one announced before the removal.
  ASSERT_EQ(ax().setAttributeValue(*entry, "AXFocused", true), AXError::success);
  observer.removeRunLoopSource(world->loop());
  heard.clear();
  ASSERT_TRUE(world->waitFor([&] { return focused() == entry; }));
  world->waitFor([] { return false; });
  EXPECT_TRUE(heard.empty());
}

TEST_P(DesktopConformance, InputEventsPasteThePasteboardWithTheShortcut) {
  Pasteboard& pasteboard = world->desktop().pasteboard;
  const std::string text = "Grüße \U0001F30D cafe\u0301";
  pasteboard.clearContents();
  ASSERT_TRUE(pasteboard.setString(text));
  postKey(9, kEventFlagCommand, 0);
  EXPECT_TRUE(world->waitFor([&] { return string(*entry, "AXValue") == text; }))
      << string(*entry, "AXValue").value_or("<none>");
}

TEST_P(DesktopConformance, EventTapSeesPostedKeysWithTheirMark) {
  struct Seen {
    std::uint32_t type;
    std::int64_t keyCode;
    EventFlags flags;
    std::int64_t mark;
  };
  std::vector<Seen> seen;
  auto tap = world->desktop().inputEvents.createListenOnlySessionTap(
      eventMaskBit(EventType::keyDown), [&](std::uint32_t type, const InputEvent& event) {
        seen.push_back({type, event.integerField(EventField::keyboardEventKeycode), event.flags(),
                        event.integerField(EventField::eventSourceUserData)});
      });
  ASSERT_NE(tap, nullptr);
  tap->addRunLoopSource(world->loop());
  postKey(8, kEventFlagCommand, 77);
  const auto copyKeySeen = [&] {
    for (const auto& event : seen) {
      if (event.keyCode == 8) return true;
    }
    return false;
  };
  ASSERT_TRUE(world->waitFor(copyKeySeen));
  for (const auto& event : seen) {
    EXPECT_EQ(event.type, static_cast<std::uint32_t>(EventType::keyDown));
    if (event.keyCode != 8) continue;
    EXPECT_NE(event.flags & kEventFlagCommand, 0u);
    EXPECT_EQ(event.mark, 77);
  }
  // Invalidated, it reports nothing more.
  tap->invalidate();
  const std::size_t before = seen.size();
  postKey(8, kEventFlagCommand, 78);
  world->waitFor([] { return false; });
  EXPECT_EQ(seen.size(), before);
}

TEST_P(DesktopConformance, PasteboardCountsEachChangeOnce) {
  Pasteboard& pasteboard = world->desktop().pasteboard;
  const std::int64_t start = pasteboard.changeCount();
  EXPECT_EQ(pasteboard.clearContents(), start + 1);
  EXPECT_FALSE(pasteboard.string());
  EXPECT_TRUE(pasteboard.setString("one \U0001F30D"));
  EXPECT_EQ(pasteboard.changeCount(), start + 1);  // clear and set are one change
  EXPECT_EQ(pasteboard.string(), "one \U0001F30D");
  EXPECT_TRUE(pasteboard.setString("two"));  // a set on its own is a change
  EXPECT_EQ(pasteboard.changeCount(), start + 2);
  EXPECT_EQ(pasteboard.string(), "two");
}

TEST_P(DesktopConformance, WorkspaceAndWindowListPutTheApplicationInFront) {
  const auto front = world->desktop().workspace.frontmostApplication();
  ASSERT_TRUE(front);
  EXPECT_EQ(front->pid, world->applicationPid());
  EXPECT_TRUE(front->active);
  EXPECT_TRUE(world->desktop().workspace.runningApplication(world->applicationPid()));
  const auto windows = world->desktop().windowList.onScreenWindows();
  ASSERT_TRUE(windows);
  ASSERT_FALSE(windows->empty());
  EXPECT_EQ(windows->front().ownerPid, world->applicationPid());
  EXPECT_NE(windows->front().number, 0u);
  EXPECT_EQ(windows->front().layer, 0);
}

TEST_P(DesktopConformance, ProcessInfoKnowsTheApplication) {
  ProcessInfo& processes = world->desktop().processInfo;
  EXPECT_TRUE(processes.isAlive(world->applicationPid()));
  EXPECT_TRUE(processes.parentProcessId(world->applicationPid()));
}

INSTANTIATE_TEST_SUITE_P(Simulated, DesktopConformance, ::testing::Values(&makeSimulatedWorld));
INSTANTIATE_TEST_SUITE_P(X11, DesktopConformance, ::testing::Values(&makeX11World));

}  // namespace
}  // namespace orvix::platform::conformance
