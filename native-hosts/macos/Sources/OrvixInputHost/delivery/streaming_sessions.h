#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace orvix::input_host {

// The text streamed so far in each session, kept for the hand-over at "target.release", with
// the pasteboard's change count after the session's last piece.
//
// Bounded in sessions and in bytes: beyond either bound the session idle the longest loses its
// text. A release must never hand over a tail as if it were the whole text, so such a session
// is remembered as evicted: pieces it still receives are not collected, and its release hands
// over nothing. Main thread only.
class StreamingSessions {
 public:
  struct Accumulated {
    std::string text;
    std::int64_t clipboardRevision = 0;  // pasteboard change count after the last piece
  };

  StreamingSessions(std::size_t maximumSessions, std::size_t maximumBytes,
                    std::size_t maximumEvictionsRemembered)
      : maximumSessions_(maximumSessions),
        maximumBytes_(maximumBytes),
        maximumEvictionsRemembered_(maximumEvictionsRemembered) {}

  // A delivered piece: appended to the session's text; the session becomes the most recently
  // active one.
  void append(const std::string& sessionId, std::string_view piece,
              std::int64_t clipboardRevision);
  // "target.release": forgets the session; answers its text only when it holds every piece.
  std::optional<Accumulated> release(const std::string& sessionId);
  // A new capture: the session starts afresh, as if it had never streamed.
  void restart(const std::string& sessionId);
  // The session's text is dropped (the capture table let the session go, or a bound was hit).
  void evict(const std::string& sessionId);

  const Accumulated* find(const std::string& sessionId) const;
  std::size_t size() const { return sessions_.size(); }
  std::size_t bytes() const { return bytes_; }

 private:
  struct Session {
    Accumulated accumulated;
    std::list<std::string>::iterator recency;
  };

  bool wasEvicted(const std::string& sessionId) const;
  void rememberEviction(const std::string& sessionId);
  // True when the session had been evicted.
  bool forgetEviction(const std::string& sessionId);
  void erase(std::unordered_map<std::string, Session>::iterator session);

  std::size_t maximumSessions_;
  std::size_t maximumBytes_;
  std::size_t maximumEvictionsRemembered_;
  std::unordered_map<std::string, Session> sessions_;
  std::list<std::string> recency_;  // least recently active first
  std::size_t bytes_ = 0;           // text plus the two copies of each id
  // Evicted sessions by the hash of their id, oldest eviction first: a fixed size per entry
  // whatever the id's length. An id sharing a hash with an evicted one only loses its own
  // hand-over, never gets a wrong one.
  std::unordered_set<std::size_t> evicted_;
  std::deque<std::size_t> evictionOrder_;
};

}  // namespace orvix::input_host
