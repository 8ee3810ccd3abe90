#include "OrvixInputHost/delivery/streaming_sessions.h"

#include <algorithm>
#include <functional>
#include <iterator>

namespace orvix::input_host {

namespace {
std::size_t idHash(const std::string& sessionId) { return std::hash<std::string>{}(sessionId); }
}  // namespace

void StreamingSessions::append(const std::string& sessionId, std::string_view piece,
                               std::int64_t clipboardRevision) {
  if (wasEvicted(sessionId)) return;
  auto [session, added] = sessions_.try_emplace(sessionId);
  if (added) {
    session->second.recency = recency_.insert(recency_.end(), sessionId);
    bytes_ += 2 * sessionId.size();
  } else {
    recency_.splice(recency_.end(), recency_, session->second.recency);
  }
  session->second.accumulated.text += piece;
  session->second.accumulated.clipboardRevision = clipboardRevision;
  bytes_ += piece.size();

  // The newest session goes too when it alone is over the byte bound.
  while (!recency_.empty() && (sessions_.size() > maximumSessions_ || bytes_ > maximumBytes_)) {
    const std::string idlest = recency_.front();
    evict(idlest);
  }
}

std::optional<StreamingSessions::Accumulated> StreamingSessions::release(
    const std::string& sessionId) {
  const bool evicted = forgetEviction(sessionId);
  const auto session = sessions_.find(sessionId);
  if (session == sessions_.end()) return std::nullopt;
  Accumulated accumulated = std::move(session->second.accumulated);
  erase(session);
  if (evicted) return std::nullopt;
  return accumulated;
}

void StreamingSessions::restart(const std::string& sessionId) {
  forgetEviction(sessionId);
  if (const auto session = sessions_.find(sessionId); session != sessions_.end()) erase(session);
}

void StreamingSessions::evict(const std::string& sessionId) {
  const auto session = sessions_.find(sessionId);
  // A session that has not streamed loses nothing: its first piece still starts its text.
  if (session == sessions_.end()) return;
  erase(session);
  rememberEviction(sessionId);
}

const StreamingSessions::Accumulated* StreamingSessions::find(const std::string& sessionId) const {
  const auto session = sessions_.find(sessionId);
  return session == sessions_.end() ? nullptr : &session->second.accumulated;
}

bool StreamingSessions::wasEvicted(const std::string& sessionId) const {
  return evicted_.contains(idHash(sessionId));
}

void StreamingSessions::rememberEviction(const std::string& sessionId) {
  const std::size_t hash = idHash(sessionId);
  if (!evicted_.insert(hash).second) return;
  evictionOrder_.push_back(hash);
  if (evictionOrder_.size() > maximumEvictionsRemembered_) {
    evicted_.erase(evictionOrder_.front());
    evictionOrder_.pop_front();
  }
}

bool StreamingSessions::forgetEviction(const std::string& sessionId) {
  const std::size_t hash = idHash(sessionId);
  if (evicted_.erase(hash) == 0) return false;
  std::erase(evictionOrder_, hash);
  return true;
}

void StreamingSessions::erase(std::unordered_map<std::string, Session>::iterator session) {
  bytes_ -= 2 * session->first.size() + session->second.accumulated.text.size();
  recency_.erase(session->second.recency);
  sessions_.erase(session);
}

}  // namespace orvix::input_host
