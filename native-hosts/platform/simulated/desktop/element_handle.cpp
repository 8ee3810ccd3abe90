#include "platform/simulated/desktop/element_handle.h"

#include <functional>
#include <memory>

namespace orvix::platform::simulated {

AXElement ElementHandle::make(const void* desktop, Kind kind, std::uint64_t number) {
  return AXElement(std::make_shared<const ElementHandle>(desktop, kind, number));
}

bool ElementHandle::equals(const Object& other) const {
  const auto* handle = dynamic_cast<const ElementHandle*>(&other);
  return handle != nullptr && handle->desktop_ == desktop_ && handle->kind_ == kind_ &&
         handle->number_ == number_;
}

std::size_t ElementHandle::hash() const {
  return std::hash<std::uint64_t>()(number_ * 4 + static_cast<std::uint64_t>(kind_));
}

}  // namespace orvix::platform::simulated
