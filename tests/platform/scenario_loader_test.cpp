// Scenarios are the worlds host tests and demos run in; files are outside input.

#include <gtest/gtest.h>

#include <fstream>

#include "common/time/virtual_time_source.h"
#include "platform/simulated/desktop/scenario_loader.h"

namespace orvix::platform::simulated {
namespace {

class ScenarioTest : public ::testing::Test {
 protected:
  LoadedScenario load(std::string_view nameOrPath) {
    ScenarioResult result = loadScenario(nameOrPath, time);
    if (auto* error = std::get_if<ScenarioError>(&result)) {
      ADD_FAILURE() << error->message;
      return {};
    }
    return std::move(std::get<LoadedScenario>(result));
  }

  std::string errorFor(std::string_view json) {
    ScenarioResult result = loadScenarioText(json, time);
    const auto* error = std::get_if<ScenarioError>(&result);
    return error == nullptr ? std::string("(loaded)") : error->message;
  }

  VirtualTimeSource time;
};

TEST_F(ScenarioTest, DefaultIsAnEditorFocusedOnAnEmptyTextField) {
  LoadedScenario world = load("default");
  ASSERT_TRUE(world.desktop);
  SimulatedDesktop& desktop = *world.desktop;
  const auto front = desktop.workspace().frontmostApplication();
  ASSERT_TRUE(front);
  EXPECT_EQ(front->bundleIdentifier, "com.example.editor");
  EXPECT_EQ(front->localizedName, "Editor");
  const ElementId field = world.element("editor-text");
  EXPECT_EQ(desktop.focusedElement(), field);
  EXPECT_EQ(desktop.value(field), "");
  EXPECT_EQ(desktop.processInfo().parentProcessId(desktop.processInfo().currentProcessId()), 1);
  EXPECT_TRUE(desktop.accessibility().isProcessTrusted());
}

TEST_F(ScenarioTest, ExampleFileBuildsItsWholeWorld) {
  LoadedScenario world = load(ORVIX_SCENARIO_DIR "/editor_and_browser.json");
  ASSERT_TRUE(world.desktop);
  SimulatedDesktop& desktop = *world.desktop;
  EXPECT_EQ(desktop.processInfo().currentProcessId(), 900);
  EXPECT_EQ(desktop.processInfo().parentProcessId(900), 800);
  EXPECT_EQ(desktop.processInfo().parentProcessId(702), 701);
  EXPECT_EQ(desktop.pasteboardChangeCount(), 41);
  EXPECT_EQ(desktop.selectedRange(world.element("editor-text")), (TextRange{11, 0}));

  // Paste into the editor, then the focus jumps to the browser's compose area.
  Pasteboard& pasteboard = desktop.pasteboard();
  pasteboard.clearContents();
  pasteboard.setString("Hi");
  auto key = desktop.inputEvents().createKeyboardEvent(nullptr, 9, true);
  key->setFlags(kEventFlagCommand);
  desktop.inputEvents().post(EventTapLocation::hid, *key);
  EXPECT_EQ(desktop.value(world.element("editor-text")), "Dear team,\nHi");
  EXPECT_EQ(desktop.focusedElement(), world.element("browser-compose"));
  EXPECT_EQ(desktop.focusedApplication(), 700);

  time.advanceBy(std::chrono::seconds(5));
  EXPECT_EQ(desktop.focusedElement(), world.element("browser-password"));
}

TEST_F(ScenarioTest, FocusMovesBetweenConfirmingReadsAndFrontmostApart) {
  ScenarioResult result = loadScenarioText(R"({
    "applications": [
      {"pid": 501, "windows": [{"id": "w1", "children": [{"id": "a", "kind": "text-field"}]}]},
      {"pid": 601, "windows": [{"id": "w2", "children": [{"id": "b", "kind": "text-field"}]}]}],
    "focus": {"element": "a"},
    "frontmost": 601,
    "systemWideErrors": {"AXFocusedWindow": -25204},
    "focusMoves": [{"afterSystemWideReads": "AXFocusedUIElement", "reads": 2,
                    "focus": {"element": "b"}}]})",
                                           time);
  ASSERT_TRUE(std::holds_alternative<LoadedScenario>(result));
  const LoadedScenario& world = std::get<LoadedScenario>(result);
  SimulatedDesktop& desktop = *world.desktop;
  Accessibility& ax = desktop.accessibility();
  EXPECT_EQ(desktop.workspace().frontmostApplication()->pid, 601);
  EXPECT_EQ(ax.copyAttributeValue(ax.systemWideElement(), "AXFocusedWindow").error,
            AXError::cannotComplete);
  const auto read = [&] {
    return std::get<AXElement>(
        ax.copyAttributeValue(ax.systemWideElement(), "AXFocusedUIElement").value);
  };
  EXPECT_TRUE(read() == desktop.handle(world.element("a")));
  EXPECT_TRUE(read() == desktop.handle(world.element("a")));
  EXPECT_TRUE(read() == desktop.handle(world.element("b")));
}

TEST_F(ScenarioTest, BadScenariosAreRefusedWithAMessageNamingThePlace) {
  const struct {
    std::string json;
    std::string expected;
  } cases[] = {
      {"{", "not valid JSON"},
      {"[]", "must be an object"},
      {"{\"application\": []}", "application: unknown key"},
      {"{\"applications\": [{\"pid\": \"501\"}]}", "applications[0].pid: must be an integer"},
      {"{\"applications\": [{\"pid\": 1099511627776}]}", "applications[0].pid: must lie in"},
      {"{\"applications\": [{\"pid\": 1}]}", "must lie in 2.."},
      {"{\"applications\": [{\"pid\": 5}, {\"pid\": 5}]}", "listed twice"},
      {"{\"processes\": [{\"pid\": 5, \"parent\": 6}, {\"pid\": 6, \"parent\": 5}]}",
       "is its own ancestor"},
      {"{\"processes\": [{\"pid\": 5, \"parent\": 5}]}", "is its own ancestor"},
      {"{\"processes\": [{\"pid\": 5, \"parent\": 77}]}", "which is not listed"},
      {"{\"host\": {\"pid\": 5}, \"processes\": [{\"pid\": 5}]}", "listed twice"},
      {"{\"applications\": [{\"pid\": 5, \"windows\": [{\"id\": \"w\", \"children\": "
       "[{\"kind\": \"slider\"}]}]}]}",
       "windows[0].children[0].kind: unknown element kind \"slider\""},
      {"{\"applications\": [{\"pid\": 5, \"windows\": [{\"id\": \"w\"}, {\"id\": \"w\"}]}]}",
       "id used twice"},
      {"{\"applications\": [{\"pid\": 5, \"windows\": [{\"children\": [{\"pid\": 6}]}]}]}",
       "names a process that is not listed"},
      {"{\"applications\": [{\"pid\": 5, \"windows\": [{\"children\": [{\"errors\": "
       "{\"AXValue\": 5}}]}]}]}",
       "AXValue: must lie in -25214..-25200"},
      {"{\"applications\": [{\"pid\": 5, \"windows\": [{\"children\": [{\"pasteLatencyMs\": "
       "-1}]}]}]}",
       "pasteLatencyMs: must lie in"},
      {"{\"focus\": {\"element\": \"nowhere\"}}", "focus: no element has the id \"nowhere\""},
      {"{\"applications\": [{\"pid\": 5, \"windows\": [{\"children\": [{\"id\": \"f\"}]}]}], "
       "\"focus\": {\"window\": \"f\"}}",
       "\"f\" is not a window"},
      {"{\"focus\": {\"application\": 77}}", "focus: names no application"},
      {"{\"focusMoves\": [{\"atMs\": 5, \"onPaste\": true, \"focus\": {\"application\": null}}]}",
       "needs exactly one of"},
      {"{\"pointer\": {\"x\": 1e300, \"y\": 0}}", "pointer.x: must be a finite coordinate"},
      {"{\"trusted\": 1}", "trusted: must be true or false"},
      {"{\"pasteboard\": {\"text\": \"\xC3\x28\"}}", "not valid JSON"},
  };
  for (const auto& c : cases) {
    EXPECT_NE(errorFor(c.json).find(c.expected), std::string::npos)
        << c.json << "\n  gave: " << errorFor(c.json);
  }
}

TEST_F(ScenarioTest, OversizedOrDeepOrMissingFilesAreRefused) {
  std::string deep = "{\"applications\": [{\"pid\": 5, \"windows\": [{";
  for (int i = 0; i < 40; ++i) deep += "\"children\": [{";
  for (int i = 0; i < 40; ++i) deep += "}]";
  deep += "}]}]}";
  EXPECT_NE(errorFor(deep).find("nested too deep"), std::string::npos);
  EXPECT_NE(errorFor(std::string(kMaximumScenarioBytes + 1, ' ')).find("larger than"),
            std::string::npos);
  EXPECT_NE(errorFor(std::string(200000, '[')).find("not valid JSON"), std::string::npos);
  const std::string nested = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_NE(errorFor(nested).find("must be an object"), std::string::npos);

  ScenarioResult missing = loadScenario("/nonexistent/scenario.json", time);
  ASSERT_TRUE(std::holds_alternative<ScenarioError>(missing));
  EXPECT_NE(std::get<ScenarioError>(missing).message.find("cannot be opened"), std::string::npos);

  const std::string path = ::testing::TempDir() + "/oversized_scenario.json";
  std::ofstream(path) << "{}" << std::string(kMaximumScenarioBytes, ' ');
  ScenarioResult oversized = loadScenario(path, time);
  ASSERT_TRUE(std::holds_alternative<ScenarioError>(oversized));
  EXPECT_NE(std::get<ScenarioError>(oversized).message.find("larger than"), std::string::npos);
}

}  // namespace
}  // namespace orvix::platform::simulated
