#include "OrvixInputHost/delivery/result_cache.h"

namespace orvix::input_host {

const Json* ResultCache::find(const std::string& commandId) const {
  const auto it = results_.find(commandId);
  return it == results_.end() ? nullptr : &it->second;
}

void ResultCache::insert(const std::string& commandId, Json event) {
  // The command loop answers from the cache before it executes, so an id arrives here at most
  // once while cached; replacing keeps the order list free of duplicates all the same.
  if (const auto it = results_.find(commandId); it != results_.end()) {
    it->second = std::move(event);
    return;
  }
  results_.emplace(commandId, std::move(event));
  order_.push_back(commandId);
  if (order_.size() > capacity_) {
    results_.erase(order_.front());
    order_.pop_front();
  }
}

}  // namespace orvix::input_host
