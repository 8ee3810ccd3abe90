#pragma once

#include <cstdint>
#include <optional>

#include "platform/accessibility.h"
#include "platform/simulated/desktop/desktop_types.h"

namespace orvix::platform::simulated {

// What a handle of the simulated desktop names. A fresh handle object is made for every answer,
// as the real accessibility interface does, so a host that compared handles by address instead
// of by equals() fails its tests here.
class ElementHandle final : public AXElement::Object {
 public:
  enum class Kind {
    systemWide,
    element,
    // applicationElement(pid) for a pid with no application: a handle the system still hands
    // out, whose reads fail.
    processWithoutApplication,
  };

  ElementHandle(const void* desktop, Kind kind, std::uint64_t number)
      : desktop_(desktop), kind_(kind), number_(number) {}

  static AXElement make(const void* desktop, Kind kind, std::uint64_t number);

  bool equals(const Object& other) const override;
  std::size_t hash() const override;

  const void* desktop() const { return desktop_; }
  Kind kind() const { return kind_; }
  std::uint64_t number() const { return number_; }

 private:
  const void* desktop_;  // handles of two desktops never compare equal
  Kind kind_;
  std::uint64_t number_;
};

}  // namespace orvix::platform::simulated
