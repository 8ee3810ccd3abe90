#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/time/time_types.h"
#include "platform/accessibility.h"
#include "platform/input_events.h"

namespace orvix::platform::simulated {

// Elements of the simulated desktop are named by a number that stays the same for the life of
// the desktop; handles handed to the host carry it, so two reads of the same element compare
// equal however many handle objects were made.
using ElementId = std::uint64_t;
inline constexpr ElementId kNoElement = 0;

// What kind of thing an element is. The kind sets the role, subrole, settable attributes and
// how the element reacts to a paste; each can still be overridden one by one.
enum class ElementKind {
  generic,          // role as given, takes no text
  application,      // the top-level element of an application
  window,           // AXWindow
  textField,        // AXTextField: applies Command+V at its selection
  textArea,         // AXTextArea: the same, multi-line
  comboBox,         // AXComboBox with an editable field
  webTextArea,      // a browser's editable area: takes the paste, reports only a caret
  ignoresPaste,     // AXTextArea that swallows Command+V without changing
  secureTextField,  // AXTextField / AXSecureTextField: takes a paste, never shows its value
  button,           // AXButton
  staticText,       // AXStaticText
};

// How a text element shows its text to the accessibility interface (the text itself is kept
// as typed): some composers pad it, some report only how long it is.
enum class DraftDisplay {
  value,            // "AXValue" as it is
  nonBreakingSpaces,  // spaces reported as U+00A0
  trailingNewline,  // a line break after the text
  rangeOnly,        // no "AXValue"; "AXStringForRange" answers
  countOnly,        // only "AXNumberOfCharacters"
};

// What Return does in a focused text element.
enum class ReturnBehaviour {
  none,    // nothing (a plain field, or a composer that keeps its draft)
  clear,   // submits: the element is emptied
  remove,  // submits: the element leaves the tree
};

// What an application needs before it builds its accessibility tree (Electron and Chromium
// applications build it only on request).
enum class AccessibilityGate {
  none,      // always built
  manual,    // after "AXManualAccessibility" is set to true
  enhanced,  // after "AXEnhancedUserInterface" is set; "AXManualAccessibility" is unsupported
};

// What an application does when Command-C reaches it with a selection in its focused element.
// With nothing selected (or a secure field focused) no application writes anything.
enum class CopyWrites {
  selection,        // the selected text, in one pasteboard change
  selectionTwice,   // the selected text in two changes (say a rich and a plain write)
  nothing,          // ignores the key
  unlessUnchanged,  // the selected text, unless the pasteboard already holds exactly that
};

struct CopyBehaviour {
  CopyWrites writes = CopyWrites::selection;
  Duration delay{0};  // how long after the key-down the pasteboard changes
};

enum class PasteBehaviour {
  none,        // the keystroke reaches the element but nothing happens
  insertText,  // the pasteboard's text replaces the selection, caret after it
};

// Every fact the simulator keeps about one element.
struct ElementState {
  ElementId id = kNoElement;
  ProcessId pid = 0;  // the owning process (a helper process of the application is allowed)
  ElementKind kind = ElementKind::generic;
  std::string role;
  std::optional<std::string> subrole;
  std::optional<std::string> title;
  // The text the element holds. Kept even when the element does not report it (a web area, a
  // secure field), so tests can see what really arrived.
  std::optional<std::string> value;
  std::optional<TextRange> selectedRange;
  std::set<std::string, std::less<>> settable;
  // Injected failures: a read (and settable query) of the attribute answers this error.
  std::map<std::string, AXError, std::less<>> errors;
  // Injected failure of the element's process id read.
  std::optional<AXError> pidError;
  PasteBehaviour paste = PasteBehaviour::none;
  // How long after the key-down the paste shows in the element; zero applies it at once.
  Duration pasteLatency{0};
  ElementId parent = kNoElement;
  std::vector<ElementId> children;  // those present, in order

  // Attributes beyond the built-in ones, as the application reports them ("AXPlaceholderValue",
  // "AXDescription", "AXEnabled", "AXPosition", "AXSize", "AXMinimized", ...). A write stores
  // into it when the attribute is settable.
  std::map<std::string, AXValue, std::less<>> attributes;
  // Whether the element is in its application's tree: a late element is not yet, a removed one
  // no longer. Absent elements answer invalidUIElement.
  bool present = true;
  // A late element appears this long after its application launched (or the desktop loaded).
  Duration appearsAfter{0};
  // The child list is reported under this name only ("AXContents", "AXVisibleChildren", ...).
  std::string childrenAttribute = "AXChildren";
  // "AXFocused" = true answers success but the focus does not move; a click still focuses it.
  bool ignoresFocusWrite = false;
  DraftDisplay shows = DraftDisplay::value;
  ReturnBehaviour onReturn = ReturnBehaviour::none;
  // Virtual time every accessibility call on this element takes (a slow application).
  Duration callCost{0};
  // Set by the host through setMessagingTimeout; the global default otherwise.
  std::optional<Duration> messagingTimeout;
  // The window server's number of a window element; 0 for every other kind.
  std::uint32_t windowNumber = 0;
};

// A running (or ended) application and what it has focused inside itself.
struct ApplicationState {
  ProcessId pid = 0;
  std::optional<std::string> bundleIdentifier;
  std::optional<std::string> localizedName;
  bool hidden = false;
  bool terminated = false;
  ElementId element = kNoElement;
  ElementId focusedWindow = kNoElement;
  ElementId focusedElement = kNoElement;
  ElementId mainWindow = kNoElement;

  // Installed at this location (the workspace finds it by bundle identifier); absent: not
  // installed, so it can run but cannot be launched or re-opened.
  std::optional<std::string> location;
  // An application that is installed but not running starts this long after it is opened.
  Duration launchDelay{0};
  bool activationRefused = false;
  AccessibilityGate gate = AccessibilityGate::none;
  bool gateOpen = false;
  // Virtual time every accessibility call on any of its elements takes, on top of the
  // element's own.
  Duration callCost{0};
  CopyBehaviour copy;
};

struct ProcessState {
  ProcessId parent = 1;
  bool alive = true;
  // The kernel refuses to describe this process (a process of another user, a short read).
  bool parentReadFails = false;
};

// Where the keyboard focus should be, stated whole: no application means no application has
// the focus, and an application without element or window has neither focused. A window left
// out is derived from the element's enclosing window.
struct FocusTarget {
  std::optional<ProcessId> application;
  ElementId window = kNoElement;
  ElementId element = kNoElement;
};

// One event as the host posted it.
struct PostedEvent {
  EventTapLocation tap = EventTapLocation::hid;
  EventType type = EventType::null;
  std::int64_t keyCode = 0;
  EventFlags flags = 0;
  std::int64_t userData = 0;  // field 42, the host's mark
  ScreenPoint location;
  std::int32_t scrollDelta = 0;
};

// What the host asked the desktop, for assertions such as "no key was posted" or "the
// pasteboard was not touched".
struct DesktopCounters {
  std::map<std::string, int, std::less<>> attributeReads;  // by attribute name, every element
  std::map<std::string, int, std::less<>> systemWideReads;
  std::map<std::string, int, std::less<>> settableQueries;
  std::map<std::string, int, std::less<>> attributeWrites;
  std::map<std::string, int, std::less<>> actions;  // by action name
  int parameterizedReads = 0;
  int processIdReads = 0;
  int messagingTimeoutsSet = 0;
  int trustQueries = 0;
  int pasteboardClears = 0;
  int pasteboardSetStrings = 0;
  int pasteboardStringReads = 0;
  int pasteboardChangeCountReads = 0;
  int eventsCreated = 0;
  int eventsPosted = 0;
  int eventTapsCreated = 0;  // attempts, refused ones included
  int workspaceQueries = 0;
  int processQueries = 0;
  int applicationsOpened = 0;
  int activations = 0;
  int unhides = 0;
  int notificationsDelivered = 0;
  int windowListReads = 0;

  int pasteboardWrites() const { return pasteboardClears + pasteboardSetStrings; }
  int reads(std::string_view attribute) const {
    const auto it = attributeReads.find(attribute);
    return it == attributeReads.end() ? 0 : it->second;
  }
};

}  // namespace orvix::platform::simulated
