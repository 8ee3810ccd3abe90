// The libcurl transport against the emulator on a free loopback port, with shortened bounds.
#include <gtest/gtest.h>

#include "common/uuid.h"
#include "tools/update-host/curl_transport.h"
#include "tools/update-host/emulator_lease.h"
#include "tools/update-host/gateway_client.h"
#include "tools/update-host/loopback_proxy.h"

namespace orvix::update_host {
namespace {

using namespace std::chrono_literals;
using testing::EmulatorMode;
using testing::GatewayEmulator;

constexpr char kDesktopBody[] =
    R"({"base":{"appid":"a","clientVer":"10203","deviceId":"d","modelId":"m","pVer":"1.1",)"
    R"("productId":1},"param":{}})";

class CurlTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::forgetProxyEnvironment();
    const auto port = emulator.start(0);
    ASSERT_TRUE(port);
    settings.url =
        *parseGatewayUrl("http://127.0.0.1:" + std::to_string(*port) + "/firmware/check");
  }

  std::optional<Failure> send(const TransportLimits& limits, Json* answer = nullptr) {
    try {
      const Json result =
          sendToGateway(kDesktopBody, UpdateKind::desktop, settings, stamp(), transport, limits);
      if (answer) *answer = result;
      return std::nullopt;
    } catch (const UpdateFailure& failure) {
      return failure.failure();
    }
  }

  static RequestStamp stamp() {
    return RequestStamp{std::chrono::system_clock::now(), randomUuidText(LetterCase::lower)};
  }

  GatewayEmulator emulator{testing::testGatewaySettings()};
  GatewaySettings settings{Json::object(), {}, "Kx7Lp2Qm-test-gateway-secret", "20481024"};
  CurlTransport transport;
};

// The silent gateway answers with success once it is stopped or a minute has passed, so a
// transport that waited past its bound would report success here: no stopwatch is needed. The
// other bound is an hour, so it cannot be the one that ended the wait.
TEST_F(CurlTransportTest, SilentGatewayEndsAtTheTransferTimeout) {
  emulator.setMode(EmulatorMode::silence);
  EXPECT_EQ(send(TransportLimits{300ms, 1h, 1 << 20}), Failure::network);
}

TEST_F(CurlTransportTest, OverallWaitBoundsATransferThatWouldTakeLonger) {
  emulator.setMode(EmulatorMode::silence);
  EXPECT_EQ(send(TransportLimits{1h, 300ms, 1 << 20}), Failure::network);
}

TEST_F(CurlTransportTest, ResponseLimitIsAParameter) {
  EXPECT_EQ(send(TransportLimits{10s, 10s, 40}), Failure::response);
  emulator.setMode(EmulatorMode::plainJson);
  EXPECT_EQ(send(TransportLimits{10s, 10s, 40}), std::nullopt);
}

}  // namespace
}  // namespace orvix::update_host
