#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <unordered_map>

#include "common/json_wire.h"

namespace orvix::input_host {

// The answers of answered commands by command id, so that a repeated command id is answered
// again without doing the work twice. Bounded: each insertion beyond the capacity evicts the
// oldest answer; so does an insertion that takes the answers over `maximumBytes`. Main thread
// only.
class ResultCache {
 public:
  ResultCache(std::size_t capacity, std::size_t maximumBytes)
      : capacity_(capacity), maximumBytes_(maximumBytes) {}

  const Json* find(const std::string& commandId) const;
  void insert(const std::string& commandId, Json event);
  std::size_t size() const { return results_.size(); }
  std::size_t bytes() const { return bytes_; }

 private:
  struct Entry {
    Json event;
    std::size_t bytes = 0;
  };
  void evictOldest();

  std::size_t capacity_;
  std::size_t maximumBytes_;
  std::size_t bytes_ = 0;
  std::unordered_map<std::string, Entry> results_;
  std::deque<std::string> order_;  // oldest first
};

}  // namespace orvix::input_host
