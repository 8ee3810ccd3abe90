#include "platform/simulated/desktop/scenario_loader.h"

namespace orvix::platform::simulated {

// An editor in front, its only window focused on an empty text field: the plainest world in
// which a paste can be delivered and confirmed.
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
  }],
  "focus": {"element": "editor-text"},
  "pasteboard": {"changeCount": 1}
})json";
}

}  // namespace orvix::platform::simulated
