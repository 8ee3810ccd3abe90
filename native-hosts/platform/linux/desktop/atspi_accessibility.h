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
//   character offsets over the text. Text that is not valid UTF-8 is repaired first.
// - Settable: AXValue when the element is EDITABLE and has the editable-text interface;
//   AXSelectedTextRange when it has the text interface and is EDITABLE or SELECTABLE_TEXT;
//   AXFocused when it is FOCUSABLE. Setting AXFocused asks the component to grab the focus.
// - Actions: AXPress performs the first action named click, press, activate or toggle;
//   AXConfirm the one named activate; AXRaise activates the application's topmost window
//   through the window manager.
// - Messaging timeouts: AT-SPI has one timeout for all calls, so setting one on any element
//   sets it for all; 0 restores AT-SPI's default of 800 ms. A call that outlasts it answers
//   cannotComplete; a vanished application or object answers invalidUIElement.
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
  // `display` may be null (no X server: no frontmost application, so no focus).
  // `raiseApplication` activates a pid's topmost window; may be empty.
  AtspiAccessibility(std::unique_ptr<X11Display> display,
                     std::function<bool(ProcessId)> raiseApplication);
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

  class Implementation;

 private:
  std::unique_ptr<Implementation> implementation_;
};

}  // namespace orvix::platform::linux_desktop
