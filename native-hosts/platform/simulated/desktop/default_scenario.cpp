#include "platform/simulated/desktop/scenario_loader.h"

namespace orvix::platform::simulated {

// An editor in front, its only window focused on an empty text field: the plainest world in
// which a paste can be delivered and confirmed. Beside it, agent applications to commit into:
// Codex installed but not running (it starts in 300 ms and shows its composer 200 ms after its
// window, building its tree only once asked to), Claude running hidden with one window;
// WorkBuddy is not installed. Both composers submit on Return and empty themselves.
std::string_view defaultScenarioJson() {
  return R"json({
  "host": {"pid": 900, "parent": 1},
  "applications": [{
    "pid": 501,
    "bundleId": "com.example.editor",
    "name": "Editor",
    "windows": [{
      "id": "editor-window",
      "title": "Untitled",
      "children": [{"id": "editor-text", "kind": "text-field"}]
    }]
  }, {
    "pid": 601,
    "bundleId": "com.openai.codex",
    "name": "Codex",
    "location": "/Applications/Codex.app",
    "running": false,
    "launchDelayMs": 300,
    "accessibility": "manual",
    "windows": [{
      "id": "codex-window",
      "title": "Codex",
      "frame": [100, 80, 900, 700],
      "children": [{
        "kind": "generic",
        "children": [
          {"kind": "static-text", "value": "What should we build?"},
          {"id": "codex-composer", "kind": "text-area", "appearsAfterMs": 200,
           "frame": [140, 640, 820, 100], "onReturn": "clear",
           "attributes": {"AXPlaceholderValue": "Ask Codex anything", "AXEnabled": true}}
        ]
      }]
    }]
  }, {
    "pid": 701,
    "bundleId": "com.anthropic.claudefordesktop",
    "name": "Claude",
    "location": "/Applications/Claude.app",
    "hidden": true,
    "windows": [{
      "id": "claude-window",
      "title": "Claude",
      "frame": [200, 120, 800, 640],
      "children": [
        {"kind": "static-text", "value": "Good afternoon"},
        {"id": "claude-composer", "kind": "text-area", "frame": [240, 600, 720, 120],
         "onReturn": "clear", "attributes": {"AXPlaceholderValue": "Message Claude"}}
      ]
    }]
  }],
  "focus": {"element": "editor-text"},
  "pasteboard": {"changeCount": 1}
})json";
}

}  // namespace orvix::platform::simulated
