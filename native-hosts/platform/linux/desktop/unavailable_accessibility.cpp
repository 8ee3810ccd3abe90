#include "platform/linux/desktop/unavailable_accessibility.h"

#include <functional>
#include <memory>

namespace orvix::platform::linux_desktop {

namespace {

constexpr AXError kUnavailable = AXError::apiDisabled;

// The handles still have to exist and compare sanely: the system-wide element, or the element
// of a pid.
class UnavailableElement final : public AXElement::Object {
 public:
  explicit UnavailableElement(ProcessId pid) : pid_(pid) {}
  bool equals(const Object& other) const override {
    const auto* element = dynamic_cast<const UnavailableElement*>(&other);
    return element != nullptr && element->pid_ == pid_;
  }
  std::size_t hash() const override { return std::hash<ProcessId>()(pid_); }

 private:
  ProcessId pid_;  // 0 for the system-wide element
};

AXElement makeElement(ProcessId pid) {
  return AXElement(std::make_shared<const UnavailableElement>(pid));
}

}  // namespace

AXElement UnavailableAccessibility::systemWideElement() { return makeElement(0); }

AXElement UnavailableAccessibility::applicationElement(ProcessId pid) { return makeElement(pid); }

AXAttributeResult UnavailableAccessibility::copyAttributeValue(const AXElement&, std::string_view) {
  return AXAttributeResult{kUnavailable, std::monostate{}};
}

AXAttributeResult UnavailableAccessibility::copyParameterizedAttributeValue(const AXElement&,
                                                                            std::string_view,
                                                                            const AXValue&) {
  return AXAttributeResult{kUnavailable, std::monostate{}};
}

AXSettableResult UnavailableAccessibility::isAttributeSettable(const AXElement&, std::string_view) {
  return AXSettableResult{kUnavailable, false};
}

AXError UnavailableAccessibility::setAttributeValue(const AXElement&, std::string_view,
                                                    const AXValue&) {
  return kUnavailable;
}

AXError UnavailableAccessibility::performAction(const AXElement&, std::string_view) {
  return kUnavailable;
}

AXProcessIdResult UnavailableAccessibility::processId(const AXElement&) {
  return AXProcessIdResult{kUnavailable, 0};
}

AXError UnavailableAccessibility::setMessagingTimeout(const AXElement&, float) {
  return kUnavailable;
}

}  // namespace orvix::platform::linux_desktop
