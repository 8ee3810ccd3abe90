#pragma once

#include "platform/accessibility.h"
#include "platform/simulated/desktop/desktop_world.h"

namespace orvix::platform::simulated {

// The accessibility interface over the simulated desktop.
//
// The system-wide element answers "AXFocusedApplication" and "AXFocusedUIElement"; an
// application element "AXFocusedUIElement", "AXFocusedWindow", "AXMainWindow", "AXWindows",
// "AXTitle" and, when its tree is built on request, "AXManualAccessibility" or
// "AXEnhancedUserInterface"; a window "AXMinimized"; every element "AXRole", "AXSubrole",
// "AXTitle", "AXValue", "AXSelectedTextRange", "AXSelectedText", "AXNumberOfCharacters",
// "AXWindow", "AXParent", its child list and "AXFocused", plus whatever extra attributes it
// was given; text elements "AXStringForRange" and "AXAttributedStringForRange". An absent value
// answers noValue, an attribute the element does not have attributeUnsupported, an action it
// does not have actionUnsupported, an element of an ended process (or one not in the tree)
// invalidUIElement; an injected error wins over all of these. Calls on a slow application cost
// virtual time, and fail with cannotComplete past the element's messaging timeout.
class SimulatedAccessibility final : public Accessibility {
 public:
  explicit SimulatedAccessibility(DesktopModel& model) : model_(model) {}

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

  // A handle to an element of this desktop, for tests that compare what the host holds.
  AXElement handleFor(ElementId id) const;

 private:
  AXAttributeResult systemWideAttribute(DesktopWorld& world, std::string_view attribute);
  AXAttributeResult elementAttribute(DesktopWorld& world, ElementState& state,
                                     std::string_view attribute);
  AXElement elementHandle(ElementId id) const;
  AXError setApplicationAttribute(ElementState& state, std::string_view attribute,
                                  const AXValue& value);
  // Spends the virtual time a call on `element` takes (its own cost and its application's);
  // false when that outlasts the element's messaging timeout, so the call must fail.
  bool charge(const AXElement& element);
  AXAttributeResult elementOrNoValue(ElementId id) const;

  DesktopModel& model_;
};

}  // namespace orvix::platform::simulated
