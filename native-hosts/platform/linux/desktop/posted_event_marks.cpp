#include "platform/linux/desktop/posted_event_marks.h"

#include <algorithm>

namespace orvix::platform::linux_desktop {

namespace {

// Milliseconds from `from` to `to` on the server's wrapping 32-bit clock; over half the wrap
// when `to` is the earlier one.
std::uint32_t elapsed(Time from, Time to) {
  return static_cast<std::uint32_t>(to) - static_cast<std::uint32_t>(from);
}

constexpr std::uint32_t kHalfWrap = 1u << 31;

}  // namespace

void PostedEventMarks::injected(std::int64_t mark, std::optional<Time> notBefore,
                                std::span<const XTestTransition> transitions) {
  std::lock_guard guard(lock_);
  for (const XTestTransition& transition : transitions) {
    waiting_.push_back(Waiting{mark, notBefore, transition});
  }
  while (waiting_.size() > kMaximumWaiting) waiting_.pop_front();
}

std::int64_t PostedEventMarks::take(const XTestTransition& seen, Time at) {
  std::lock_guard guard(lock_);
  // Injected transitions whose time has passed were never seen: they match nothing any more.
  std::erase_if(waiting_, [&](const Waiting& waiting) {
    if (!waiting.notBefore) return false;
    const std::uint32_t since = elapsed(*waiting.notBefore, at);
    return since > kMatchWindow && since < kHalfWrap;
  });
  const auto found = std::find_if(waiting_.begin(), waiting_.end(), [&](const Waiting& waiting) {
    return waiting.transition == seen &&
           (!waiting.notBefore || elapsed(*waiting.notBefore, at) <= kMatchWindow);
  });
  if (found == waiting_.end()) return 0;
  const std::int64_t mark = found->mark;
  waiting_.erase(found);
  return mark;
}

void PostedEventMarks::clear() {
  std::lock_guard guard(lock_);
  waiting_.clear();
}

}  // namespace orvix::platform::linux_desktop
