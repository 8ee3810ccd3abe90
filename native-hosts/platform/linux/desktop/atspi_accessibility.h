#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "platform/accessibility.h"
#include "platform/linux/desktop/x11_display.h"

namespace orvix::platform::linux_desktop {

// The accessibility interface over AT-SPI (libatspi, D-Bus).
//
// Where the mapping is not one to one:
// - Trust: AT-SPI has no per-process permission. The process counts as trusted once the
//   accessibility bus answers on the session bus (org.a11y.Bus); until then every call answers
//   apiDisabled. A desktop without that bus has nothing to grant; untrustedReason() says
//   which step failed (no session bus, no accessibility bus, libatspi refused).
// - Elements are (bus name, object path) pairs: two handles are equal, and hash alike, when both
//   are equal. The system-wide element is a handle of its own. An application element is the
//   root of the application whose connection belongs to the pid; a pid without one gives a
//   handle whose every read answers cannotComplete, as a not-yet-running application does.
// - Focus: AXFocusedApplication is the application that owns the window the window manager
//   calls active (_NET_ACTIVE_WINDOW, else the X input focus); AXFocusedUIElement is the
//   element with the FOCUSED state in that application's ACTIVE window, found by a walk of at
//   most 4,096 showing elements. AXFocusedWindow and AXMainWindow are that ACTIVE window.
// - Roles: atspi_roles.h. States: FOCUSED is AXFocused, ENABLED or SENSITIVE AXEnabled,
//   ICONIFIED AXMinimized. A PASSWORD_TEXT element has the subrole AXSecureTextField (the host
//   calls it protected); no other subrole is reported.
// - Text: AXValue is the whole text (at most 1,048,576 characters, else failure);
//   AXSelectedTextRange is the first selection, else the caret as an empty range;
//   AXNumberOfCharacters and every range are in UTF-16 code units, converted from AT-SPI's
//   character offsets over the text, except for toolkits that already count UTF-16 units
//   (Qt, Chromium: text_offsets.h). Text that is not valid UTF-8 is repaired first.
// - Settable: AXValue when the element is EDITABLE and has the editable-text interface;
//   AXSelectedTextRange when it has the text interface and is EDITABLE or SELECTABLE_TEXT;
//   AXFocused when it is FOCUSABLE. Setting AXFocused asks the component to grab the focus.
// - AXManualAccessibility (Chromium's and Electron's switch on macOS) is the desktop-wide
//   switch org.a11y.Status.IsEnabled, on every application element, even of an application not
//   yet on the accessibility bus: Qt, Chromium and Electron register only while it is on. Setting
//   it to false does nothing (other readers rely on it). AXEnhancedUserInterface is unsupported.
// - Actions: AXPress performs the first action named click, press, activate or toggle;
//   AXConfirm the one named activate; AXRaise activates the element's window through the window
//   manager (the application's window with the title of the element's frame, else its topmost).
// - Messaging timeouts: as on macOS, a timeout set on an element holds for the calls made on
//   that element, and one set on the system-wide element for every element without its own; 0
//   restores the default of 800 ms. The latest 256 elements' timeouts are kept. A call that
//   outlasts its timeout answers cannotComplete; a vanished application or object answers
//   invalidUIElement.
// - Observers (atspi_observer.h) hear AT-SPI events: AXWindowCreated is window:create,
//   AXFocusedWindowChanged window:activate, AXFocusedUIElementChanged
//   object:state-changed:focused turned on, AXCreated object:children-changed:add (about the
//   child), AXLayoutChanged any object:children-changed (not bounds-changed, which GTK's text
//   entries send many times a second while idle), AXUIElementDestroyed
//   object:children-changed:remove (about the child) or object:state-changed:defunct turned on,
//   AXValueChanged object:text-changed, AXSelectedTextChanged object:text-selection-changed or
//   object:text-caret-moved, AXTitleChanged object:property-change:accessible-name. Other names
//   answer notificationUnsupported. Added on the application element, a notification covers
//   every element of the application; on another element, only that element. While the source
//   is on a run loop, the loop dispatches AT-SPI's messages every 50 ms. A pid without an
//   application on the accessibility bus answers cannotComplete.
//
// libatspi is not thread-safe: every call holds one lock, and AT-SPI's queued D-Bus messages
// are dispatched at each call so that they never pile up.
class AtspiAccessibility final : public Accessibility {
 public:
  // Activates the pid's window with the title, else its topmost window.
  using RaiseWindow = std::function<bool(ProcessId, std::string_view title)>;

  // `display` may be null (no X server: no frontmost application, so no focus).
  // `raiseApplication` may be empty.
  AtspiAccessibility(std::unique_ptr<X11Display> display, RaiseWindow raiseApplication);
  ~AtspiAccessibility() override;

  AXElement systemWideElement() override;
  AXElement applicationElement(ProcessId pid) override;
  AXAttributeResult copyAttributeValue(const AXElement& element,
                                       std::string_view attribute) override;
  AXAttributeResult copyParameterizedAttributeValue(const AXElement& element,
                                                    std::string_view attribute,
                                                    const AXValue& parameter) override;
  AXSettableResult isAttributeSettable(const AXElement& element,
                                       std::string_view attribute) override;
  AXError setAttributeValue(const AXElement& element, std::string_view attribute,
                            const AXValue& value) override;
  AXError performAction(const AXElement& element, std::string_view action) override;
  AXProcessIdResult processId(const AXElement& element) override;
  AXError setMessagingTimeout(const AXElement& element, float seconds) override;
  AXObserverResult createObserver(ProcessId pid, AXObserverCallback callback) override;
  bool isProcessTrusted() override;
  std::string untrustedReason() override;

  // Whether the element with the focus is a terminal (role terminal), which needs other
  // shortcuts than a text field.
  bool focusIsTerminal();

  class Implementation;

 private:
  std::unique_ptr<Implementation> implementation_;
};

}  // namespace orvix::platform::linux_desktop
