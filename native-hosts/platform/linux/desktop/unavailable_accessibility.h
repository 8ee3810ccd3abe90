#pragma once

#include "platform/accessibility.h"

namespace orvix::platform::linux_desktop {

// This machine offers no accessibility interface to other applications' elements, so every
// question is answered "the interface is disabled" and this process is not trusted. The host
// then finds no focus and says so, instead of guessing.
class UnavailableAccessibility final : public Accessibility {
 public:
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
  AXObserverResult createObserver(ProcessId, AXObserverCallback) override {
    return {AXError::apiDisabled, nullptr};
  }
  bool isProcessTrusted() override { return false; }
  std::string untrustedReason() override { return "no X display to reach (DISPLAY unset or refused)"; }
};

}  // namespace orvix::platform::linux_desktop
