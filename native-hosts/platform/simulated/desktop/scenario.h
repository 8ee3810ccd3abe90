#pragma once

// A scenario is the world a test or a demo runs the input host in, stated as data. Scenario
// files are JSON; every key is optional unless marked, unknown keys are errors (a typo must not
// silently give a different world):
//
// {
//   "host":  {"pid": 900, "parent": 1},          the host's own process (this default)
//   "processes": [{"pid": 601, "parent": 501}],  helper processes; parents must be 1 or listed,
//                                                and no process may be its own ancestor
//   "applications": [{
//     "pid": 501,                                required; the process is added below 1 if absent
//     "bundleId": "com.example.editor", "name": "Editor", "hidden": false,
//     "windows": [{                              elements of kind "window"
//       "id": "editor-window", "title": "Untitled",
//       "children": [{
//         "id": "editor-text",                   how focus and focus moves name the element
//         "kind": "text-field",                  generic | text-field | text-area | combo-box |
//                                                web-text-area | ignores-paste |
//                                                secure-text-field | button | static-text
//         "pid": 601,                            owner when not the window's process
//         "role": "AXTextField", "subrole": "...", "title": "...",
//         "value": "", "selectedRange": [0, 0],  UTF-16 units: [location, length]
//         "settable": ["AXValue"],               replaces the kind's settable attributes
//         "errors": {"AXValue": -25212},         a read of the attribute answers this error
//         "pidError": -25204,                    the element's process id read fails
//         "pasteLatencyMs": 0,                   the paste shows this long after Command+V
//         "children": [ ... ],                   at most 32 levels deep
//         -- what agent applications do (windows take these too):
//         "attributes": {"AXPlaceholderValue": "Ask Codex anything", "AXEnabled": true,
//                        "AXMinimized": false},  strings, booleans and numbers
//         "frame": [x, y, width, height],        "AXPosition" and "AXSize"; a click inside
//                                                focuses a text element
//         "appearsAfterMs": 200,                 joins the tree this long after its
//                                                application launched (or loaded, if running)
//         "childrenAttribute": "AXContents",     reports its children under this name only
//         "ignoresFocusWrite": true,             "AXFocused" = true is answered but ignored
//         "shows": "value",                      value | non-breaking-spaces |
//                                                trailing-newline | range-only | count-only
//         "onReturn": "clear",                   none | clear | remove
//         "callCostMs": 0.1                      virtual time of every call on it
//       }]
//     }],
//     "location": "/Applications/Codex.app",     installed there: it can be opened
//     "running": false, "launchDelayMs": 300,    not started until opened
//     "accessibility": "manual",                 plain | manual | enhanced: what must be set
//                                                before the tree is built
//     "activationRefused": false, "callCostMs": 0,
//     "focusedWindow": "id", "mainWindow": "id"  the application's own, without the focus
//   }],
//   "focus": {"application": 501, "window": "editor-window", "element": "editor-text"},
//             (element alone is enough; "application": null means nothing has the focus)
//   "frontmost": 501,                            workspace front application, default: focus
//   "pasteboard": {"text": "hello", "changeCount": 7, "setStringFails": false},
//   "trusted": true, "eventsFail": false, "pointer": {"x": 500, "y": 400},
//   "systemWideErrors": {"AXFocusedApplication": -25204},
//   "overlays": [{"pid": 801, "layer": 0}],      windows of processes without accessibility, in
//                                                front of every application window, first
//                                                frontmost; the process must be listed
//   "windowListFails": false,                    the window server's list cannot be read
//   "eventTapRefused": false,                    the system refuses every event tap
//   "user": [                                    the user at the keyboard and pointer, each
//                                                action at its time, exactly one kind per action
//     {"atMs": 1000, "keyCode": 8, "modifiers": ["command"]},
//                                                a key press (command | shift | option |
//                                                control), addressed to "targetPid" or else
//                                                to the focused application
//     {"atMs": 1000, "click": [x, y], "count": 2},  a press and release; count 2 or 3 for a
//                                                double or triple click
//     {"atMs": 1000, "drag": [x1, y1, x2, y2]},  a press at the first point, a release at the
//                                                second
//     {"atMs": 1000, "tapDisabled": "timeout"}   the system switches the taps off (timeout |
//                                                user-input)
//   ],
//   and in an application: "copy": {"writes": "selection", "delayMs": 0}
//                                                what Command-C does there: selection |
//                                                twice | nothing | unless-unchanged
//   "focusMoves": [                              exactly one trigger per move
//     {"atMs": 50, "focus": {...}},              50 ms of the clock after loading
//     {"afterSystemWideReads": "AXFocusedUIElement", "reads": 1, "focus": {...}},
//     {"onPaste": true, "focus": {...}}           at the next Command+V
//   ]
// }
//
// The built-in scenario "default" is an editor application in front, focused on an empty text
// field in its only window.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/accessibility.h"
#include "platform/input_events.h"
#include "common/time/time_types.h"
#include "platform/simulated/desktop/desktop_types.h"

namespace orvix::platform::simulated {

struct ScenarioElement {
  std::string id;  // empty when nothing refers to it
  ElementKind kind = ElementKind::generic;
  std::optional<ProcessId> pid;
  std::optional<std::string> role;
  std::optional<std::string> subrole;
  std::optional<std::string> title;
  std::optional<std::string> value;
  std::optional<TextRange> selectedRange;
  std::optional<std::vector<std::string>> settable;
  std::map<std::string, AXError> errors;
  std::optional<AXError> pidError;
  std::int64_t pasteLatencyMilliseconds = 0;
  std::vector<ScenarioElement> children;
  std::map<std::string, AXValue> attributes;
  std::int64_t appearsAfterMilliseconds = 0;
  std::optional<std::string> childrenAttribute;
  bool ignoresFocusWrite = false;
  DraftDisplay shows = DraftDisplay::value;
  ReturnBehaviour onReturn = ReturnBehaviour::none;
  Duration callCost{0};
};

// One thing the scripted user does.
struct ScenarioUserAction {
  enum class Kind { key, click, drag, tapDisabled };
  Kind kind = Kind::key;
  std::int64_t atMilliseconds = 0;
  std::uint16_t keyCode = 0;
  EventFlags flags = 0;
  std::optional<ProcessId> targetPid;
  ScreenPoint from;
  ScreenPoint to;
  std::int64_t clicks = 1;
  std::uint32_t notice = 0;
};

struct ScenarioOverlay {
  ProcessId pid = 0;
  std::int64_t layer = 0;
};

struct ScenarioApplication {
  ProcessId pid = 0;
  std::optional<std::string> bundleIdentifier;
  std::optional<std::string> name;
  bool hidden = false;
  std::vector<ScenarioElement> windows;
  std::optional<std::string> location;
  bool running = true;
  std::int64_t launchDelayMilliseconds = 0;
  AccessibilityGate gate = AccessibilityGate::none;
  bool activationRefused = false;
  Duration callCost{0};
  std::string focusedWindow;
  std::string mainWindow;
  CopyBehaviour copy;
};

struct ScenarioFocus {
  std::optional<ProcessId> application;  // filled from the element when left out
  std::string window;
  std::string element;
};

struct ScenarioFocusMove {
  enum class Trigger { atTime, afterSystemWideReads, onPaste };
  Trigger trigger = Trigger::atTime;
  std::int64_t atMilliseconds = 0;
  std::string attribute;
  int reads = 0;
  ScenarioFocus focus;
};

struct ScenarioProcess {
  ProcessId pid = 0;
  ProcessId parent = 1;
};

struct Scenario {
  ScenarioProcess host{900, 1};
  std::vector<ScenarioProcess> processes;
  std::vector<ScenarioApplication> applications;
  std::optional<ScenarioFocus> focus;
  bool frontmostGiven = false;
  std::optional<ProcessId> frontmost;
  std::optional<std::string> pasteboardText;
  std::int64_t pasteboardChangeCount = 1;
  bool pasteboardSetStringFails = false;
  bool trusted = true;
  bool eventsFail = false;
  std::optional<ScreenPoint> pointer;
  std::map<std::string, AXError> systemWideErrors;
  std::vector<ScenarioFocusMove> focusMoves;
  std::vector<ScenarioOverlay> overlays;
  bool windowListFails = false;
  bool eventTapRefused = false;
  std::vector<ScenarioUserAction> user;
};

}  // namespace orvix::platform::simulated
