#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <unordered_map>

#include "common/json_wire.h"

namespace orvix::input_host {

// The answers of answered commands by command id, so that a repeated command id is answered
// again without doing the work twice. Bounded: each insertion beyond the capacity evicts the
// oldest answer. Main thread only.
class ResultCache {
 public:
  explicit ResultCache(std::size_t capacity) : capacity_(capacity) {}

  const Json* find(const std::string& commandId) const;
  void insert(const std::string& commandId, Json event);
  std::size_t size() const { return results_.size(); }

 private:
  std::size_t capacity_;
  std::unordered_map<std::string, Json> results_;
  std::deque<std::string> order_;  // oldest first
};

}  // namespace orvix::input_host
