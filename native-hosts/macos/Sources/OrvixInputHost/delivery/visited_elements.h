#pragma once

#include <cstddef>
#include <unordered_set>

#include "platform/accessibility.h"

namespace orvix::input_host {

// The elements a composer scan has looked at, bucketed by the platform's element hash and told
// apart by the platform's equality, so a membership test costs one bucket however large the
// tree. The system hands out a fresh handle for every read, so handles must never be compared
// by address.
class VisitedElements {
 public:
  explicit VisitedElements(std::size_t expected = 0) { set_.reserve(expected); }
  // True when the element was not there yet.
  bool insert(const platform::AXElement& element) { return set_.insert(element).second; }
  std::size_t size() const { return set_.size(); }

 private:
  std::unordered_set<platform::AXElement, platform::AXElementHash> set_;
};

}  // namespace orvix::input_host
