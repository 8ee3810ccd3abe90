#include "OrvixInputHost/delivery/result_cache.h"

namespace orvix::input_host {

namespace {
// What an answer costs to keep: its id twice (map key and order list) and the event, which
// holds the id once more and is otherwise small.
std::size_t footprint(const std::string& commandId) { return 3 * commandId.size() + 256; }
}  // namespace

const Json* ResultCache::find(const std::string& commandId) const {
  const auto it = results_.find(commandId);
  return it == results_.end() ? nullptr : &it->second.event;
}

void ResultCache::evictOldest() {
  const auto it = results_.find(order_.front());
  bytes_ -= it->second.bytes;
  results_.erase(it);
  order_.pop_front();
}

void ResultCache::insert(const std::string& commandId, Json event) {
  // The command loop answers from the cache before it executes, so an id arrives here at most
  // once while cached; replacing keeps the order list free of duplicates all the same.
  if (const auto it = results_.find(commandId); it != results_.end()) {
    it->second.event = std::move(event);
    return;
  }
  const std::size_t bytes = footprint(commandId);
  results_.emplace(commandId, Entry{std::move(event), bytes});
  order_.push_back(commandId);
  bytes_ += bytes;
  if (order_.size() > capacity_) evictOldest();
  // The newest answer always stays, whatever its size.
  while (bytes_ > maximumBytes_ && order_.size() > 1) evictOldest();
}

}  // namespace orvix::input_host
