// The status and size rules, applied as the answer arrives.
#include <gtest/gtest.h>

#include "tools/update-host/response_receiver.h"

namespace orvix::update_host {
namespace {

constexpr std::size_t kLimit = 1 << 20;

struct HeadCase {
  long status;
  std::optional<std::size_t> announcedLength;
  std::optional<Failure> expected;  // absent: accepted
};

TEST(ResponseReceiver, HeadRulesDecideBeforeAnyBodyArrives) {
  const HeadCase cases[] = {
      {200, std::nullopt, std::nullopt},    {204, 0, std::nullopt},
      {299, kLimit, std::nullopt},          {200, kLimit + 1, Failure::response},
      {404, 2 * kLimit, Failure::response},  // an oversized answer is invalid whatever its status
      {500, 2 * kLimit, Failure::response}, {302, std::nullopt, Failure::network},
      {304, 0, Failure::network},           {400, std::nullopt, Failure::rejected},
      {401, 20, Failure::rejected},         {499, std::nullopt, Failure::rejected},
      {500, 10, Failure::network},          {503, std::nullopt, Failure::network},
      {0, std::nullopt, Failure::network},
  };
  for (const auto& c : cases) {
    ResponseReceiver receiver(kLimit);
    EXPECT_EQ(receiver.onHead(c.status, c.announcedLength), !c.expected) << c.status;
    EXPECT_EQ(receiver.failure(), c.expected) << c.status;
  }
}

TEST(ResponseReceiver, BodyIsCutAtTheLimitWithoutHoldingMore) {
  ResponseReceiver receiver(10);
  ASSERT_TRUE(receiver.onHead(200, std::nullopt));
  EXPECT_TRUE(receiver.onData("12345"));
  EXPECT_TRUE(receiver.onData("67890"));  // exactly the limit
  EXPECT_FALSE(receiver.onData("x"));
  EXPECT_EQ(receiver.failure(), Failure::response);
  EXPECT_EQ(receiver.body(), "1234567890");
  EXPECT_FALSE(receiver.onData("more"));  // a cancelled transfer takes nothing further
  EXPECT_EQ(receiver.body().size(), 10u);
}

TEST(ResponseReceiver, FirstFailureWinsOverTheErrorItsCancellationCauses) {
  ResponseReceiver refused(kLimit);
  refused.onHead(401, std::nullopt);
  refused.onComplete(/*endedWithError=*/true);
  EXPECT_EQ(refused.failure(), Failure::rejected);
  EXPECT_TRUE(refused.completed());

  ResponseReceiver tooLong(4);
  tooLong.onHead(200, std::nullopt);
  tooLong.onData("12345");
  tooLong.onRedirect();
  tooLong.onComplete(true);
  EXPECT_EQ(tooLong.failure(), Failure::response);

  ResponseReceiver broken(kLimit);
  broken.onHead(200, std::nullopt);
  broken.onData("{}");
  broken.onComplete(true);  // a transfer that died midway yields no partial answer
  EXPECT_EQ(broken.failure(), Failure::network);

  ResponseReceiver redirected(kLimit);
  redirected.onRedirect();
  redirected.onComplete(false);
  EXPECT_EQ(redirected.failure(), Failure::network);
}

}  // namespace
}  // namespace orvix::update_host
