// The streaming state at its bounds, with bounds small enough to reach.
#include <gtest/gtest.h>

#include "OrvixInputHost/delivery/streaming_sessions.h"

namespace orvix::input_host {
namespace {

// Which session goes first (the idlest) is shown through the host; here, what the byte bound
// counts and that it spares no session.
TEST(StreamingSessions, ByteBoundDropsTheIdlestAndANewestThatAloneIsTooLarge) {
  // Each session costs its text plus its id twice: "a" with 4 bytes of text costs 6.
  StreamingSessions sessions(10, 20, 8);
  sessions.append("a", "aaaa", 1);
  sessions.append("b", "bbbb", 2);
  sessions.append("c", "cccc", 3);  // 18 bytes: within the bound
  sessions.append("c", "cc", 4);    // 20 bytes: still within
  EXPECT_EQ(sessions.bytes(), 20u);
  sessions.append("b", "b", 5);  // 21 bytes: "a" goes
  EXPECT_EQ(sessions.find("a"), nullptr);
  EXPECT_EQ(sessions.bytes(), 15u);

  sessions.append("d", std::string(19, 'd'), 5);
  EXPECT_EQ(sessions.size(), 0u);
  EXPECT_EQ(sessions.bytes(), 0u);
  sessions.append("d", "tail", 6);
  EXPECT_FALSE(sessions.release("d"));
  EXPECT_FALSE(sessions.release("b"));
}

TEST(StreamingSessions, EvictionsAreRememberedUntilReleaseOrRestartWithinTheirBound) {
  StreamingSessions sessions(10, 1000, 2);
  // A session that never streamed loses nothing when it is let go.
  sessions.evict("quiet");
  sessions.append("quiet", "whole", 1);
  EXPECT_EQ(sessions.release("quiet")->text, "whole");

  for (const std::string id : {"a", "b", "c"}) {
    sessions.append(id, "lost", 1);
    sessions.evict(id);
  }
  // Only the two latest evictions are remembered.
  sessions.append("a", "a", 2);
  sessions.append("b", "b", 2);
  EXPECT_NE(sessions.find("a"), nullptr);
  EXPECT_EQ(sessions.find("b"), nullptr);

  // A new capture starts the session afresh.
  sessions.restart("b");
  sessions.append("b", "fresh", 3);
  EXPECT_EQ(sessions.release("b")->text, "fresh");
  // A release forgets the eviction too.
  EXPECT_FALSE(sessions.release("c"));
  sessions.append("c", "next", 4);
  EXPECT_EQ(sessions.release("c")->text, "next");
}

}  // namespace
}  // namespace orvix::input_host
