// A whole check against a scripted transport: what is sent, what each answer becomes, and the
// program's run from arguments and input to the printed bytes.
#include <gtest/gtest.h>

#include <functional>

#include "tools/update-host/des_ecb.h"
#include "tools/update-host/gateway_body.h"
#include "tools/update-host/gzip_codec.h"
#include "tools/update-host/update_host_run.h"

namespace orvix::update_host {
namespace {

constexpr char kSecret[] = "Kx7Lp2Qm-unit-secret";

Json configuration() {
  return Json::parse(R"({
    "profiles": {
      "desktop:darwin:x64": {"appId": "desk", "productId": 17, "modelId": "OX-1"},
      "firmware:darwin:x64": {"appId": "fw", "productId": 17, "modelId": "OX-1",
                              "packageName": "com.orvix.recorder.firmware"}},
    "gatewayUrl": "http://gateway.test/firmware/check?x=1",
    "gatewaySecret": "Kx7Lp2Qm-unit-secret",
    "gatewayAppId": "2048",
    "downloadOrigins": ["https://downloads.invalid"],
    "allowInsecureHttp": false})");
}

Json request(const std::string& kind, const std::string& current, const std::string& client) {
  return Json{{"kind", kind},
              {"currentVersion", current},
              {"clientVersion", client},
              {"identity", "device-42"}};
}

std::string encodedAnswer(const std::string& json) {
  return desEcbEncrypt(*gzipCompress(json, 1 << 20), *cipherKeyFromSecret(kSecret));
}

// Records what would be sent and plays the receiver calls a test scripts.
class ScriptedTransport final : public HttpTransport {
 public:
  std::function<void(ResponseReceiver&)> script = [](ResponseReceiver& receiver) {
    receiver.onHead(200, std::nullopt);
    receiver.onData(encodedAnswer(R"({"code":0})"));
    receiver.onComplete(false);
  };
  std::vector<HttpPost> posts;

  void post(const HttpPost& request, const TransportLimits&, ResponseReceiver& receiver) override {
    posts.push_back(request);
    script(receiver);
  }
};

class UpdateCheckTest : public ::testing::Test {
 protected:
  ScriptedTransport transport;
  GatewayAccess access{transport, TransportLimits{}, [] {
                         return RequestStamp{std::chrono::system_clock::time_point{},
                                             "3f2b8c1e-9a4d-4e6f-8b21-7c5d0e9f1a2b"};
                       }};

  std::optional<Failure> failureOf(const Json& request, const Json& config = configuration()) {
    try {
      checkForUpdate(request, config, access);
      return std::nullopt;
    } catch (const UpdateFailure& failure) {
      return failure.failure();
    }
  }

  Json sentBody() {
    const auto key = *cipherKeyFromSecret(kSecret);
    return Json::parse(*gzipDecompress(*desEcbDecrypt(transport.posts.at(0).body, key), 1 << 20));
  }
};

TEST_F(UpdateCheckTest, DesktopCheckSendsItsBodyAndPassesTheAnswerOn) {
  const Json answer =
      checkForUpdate(request("desktop", "1.2.3", "ignored"), configuration(), access);
  EXPECT_EQ(sentBody(), Json::parse(R"({"base":{"appid":"desk","productId":17,"modelId":"OX-1",
      "deviceId":"device-42","pVer":"1.1","clientVer":"10203"},"param":{}})"));
  ASSERT_EQ(transport.posts.size(), 1u);
  EXPECT_EQ(transport.posts[0].url, "http://gateway.test/firmware/check?x=1");
  EXPECT_EQ(transport.posts[0].headers.size(), 15u);
  EXPECT_EQ(answer, Json::parse(R"({"response":{"code":0},"publicConfig":{
      "downloadOrigins":["https://downloads.invalid"],"allowInsecureHttp":false,
      "profiles":)" + configuration()["profiles"].dump() +
                                "}}"));
}

TEST_F(UpdateCheckTest, FirmwareCheckSendsDeviceFieldsAndTheApp) {
  checkForUpdate(request("firmware", "V1.0_b7", "2.5.1"), configuration(), access);
  EXPECT_EQ(sentBody(), Json::parse(R"({"base":{"appid":"fw","productId":17,"modelId":"OX-1",
      "deviceId":"device-42","pVer":"1.1","clientVer":"2.5.1","romVer":"107","imei":"","mac":"",
      "meid":"","osid":"Mac","latitude":"","longitude":"","province":"","city":"","lang":"zh",
      "df":"darwin/x64"},"param":{"apps":[{"pkgName":"com.orvix.recorder.firmware",
      "appVersion":"2.5.1"}]}})"));
}

// Names under .invalid never resolve: the answer is NETWORK at once, and the transport, which
// would ask a name server or a proxy about the name, is never used.
TEST_F(UpdateCheckTest, GatewayUnderInvalidIsANetworkFailureWithoutSending) {
  Json config = configuration();
  for (const char* url :
       {"https://update-gateway.invalid/firmware/check", "http://Gateway.INVALID./check",
        "http://invalid/check", "http://gateway%2Einvalid:8080/check"}) {
    config["gatewayUrl"] = url;
    EXPECT_EQ(failureOf(request("desktop", "1.2.3", ""), config), Failure::network) << url;
  }
  EXPECT_EQ(transport.posts.size(), 0u);
  config["gatewayUrl"] = "http://gateway.invalid.example/check";
  EXPECT_EQ(failureOf(request("desktop", "1.2.3", ""), config), std::nullopt);
  EXPECT_EQ(transport.posts.size(), 1u);
}

TEST_F(UpdateCheckTest, BrokenConfigurationFailsBeforeAnythingIsSent) {
  const std::vector<std::function<void(Json&)>> breakages = {
      [](Json& c) { c.erase("profiles"); },
      [](Json& c) { c["profiles"] = "none"; },
      [](Json& c) { c["profiles"].erase("desktop:darwin:x64"); },
      [](Json& c) { c["profiles"]["desktop:darwin:x64"].erase("modelId"); },
      [](Json& c) { c["gatewayUrl"] = "not a url"; },
      [](Json& c) { c["gatewayUrl"] = "/firmware/check"; },
      [](Json& c) { c["gatewayUrl"] = "ftp://gateway.test/check"; },
      [](Json& c) { c["gatewayUrl"] = 80; },
      [](Json& c) { c["gatewaySecret"] = "short"; },
      [](Json& c) { c["gatewaySecret"] = "\xd0\xba\xd0\xbb\xd1\x8e\xd1\x87-secret"; },
      [](Json& c) { c.erase("gatewayAppId"); },
      [](Json& c) { c.erase("downloadOrigins"); },
  };
  for (std::size_t i = 0; i < breakages.size(); ++i) {
    Json config = configuration();
    breakages[i](config);
    EXPECT_EQ(failureOf(request("desktop", "1.2.3", ""), config), Failure::config) << i;
  }
  // A firmware profile without a package name only matters to firmware checks.
  Json config = configuration();
  config["profiles"]["firmware:darwin:x64"].erase("packageName");
  EXPECT_EQ(failureOf(request("firmware", "1.0", "1.0"), config), Failure::config);
  EXPECT_EQ(transport.posts.size(), 0u);
  EXPECT_EQ(failureOf(request("desktop", "1.2.3", ""), config), std::nullopt);
}

TEST_F(UpdateCheckTest, RequestAndVersionFailuresComeBeforeSending) {
  EXPECT_EQ(failureOf(request("watch", "1.2.3", "")), Failure::config);
  EXPECT_EQ(failureOf(request("desktop", "1.02.3", "")), Failure::version);
  EXPECT_EQ(failureOf(request("firmware", "1.0", "1.2.3.4.5")), Failure::version);
  EXPECT_EQ(failureOf(request("firmware", "beta", "1.2")), Failure::version);
  EXPECT_EQ(transport.posts.size(), 0u);
}

TEST_F(UpdateCheckTest, AnswerDecodingFallsBackToPlainJsonOnly) {
  const auto answerWith = [this](std::string body) {
    transport.script = [body](ResponseReceiver& receiver) {
      receiver.onHead(200, std::nullopt);
      receiver.onData(body);
      receiver.onComplete(false);
    };
    try {
      return checkForUpdate(request("desktop", "1.2.3", ""), configuration(), access)["response"];
    } catch (const UpdateFailure& failure) {
      return Json(failureCode(failure.failure()));
    }
  };
  EXPECT_EQ(answerWith(R"({"plain":1})"), Json::parse(R"({"plain":1})"));
  EXPECT_EQ(answerWith(encodedAnswer("[1,2]")), "RESPONSE_INVALID");  // not an object
  EXPECT_EQ(answerWith(encodedAnswer("not json")), "RESPONSE_INVALID");
  EXPECT_EQ(answerWith(""), "RESPONSE_INVALID");
  // A compressed bomb: 2 MiB of zeros in a few kilobytes is refused, not inflated.
  EXPECT_EQ(answerWith(encodedAnswer(std::string(2 << 20, ' ') + "{}")), "RESPONSE_INVALID");
  // Nesting is bounded, since writing a document back out recurses once per level.
  const auto nested = [](std::size_t depth) {
    return R"({"a":)" + std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}";
  };
  EXPECT_EQ(answerWith(nested(512)), Json::parse(nested(512)));
  EXPECT_EQ(answerWith(nested(513)), "RESPONSE_INVALID");
}

TEST_F(UpdateCheckTest, TransportOutcomesBecomeTheirCodes) {
  const auto outcome = [this](std::function<void(ResponseReceiver&)> script) {
    transport.script = std::move(script);
    return failureOf(request("desktop", "1.2.3", ""));
  };
  EXPECT_EQ(outcome([](ResponseReceiver& r) {
              r.onHead(401, std::nullopt);
              r.onComplete(true);
            }),
            Failure::rejected);
  EXPECT_EQ(outcome([](ResponseReceiver&) {}), Failure::network);  // the wait ran out
  EXPECT_EQ(outcome([](ResponseReceiver& r) {
              r.onHead(200, std::nullopt);
              r.onData("{}");
              r.onComplete(true);
            }),
            Failure::network);
}

// A byte source that counts how often it was read.
class CountingSource final : public ByteSource {
 public:
  explicit CountingSource(std::string text, bool failing = false)
      : text_(std::move(text)), failing_(failing) {}
  std::ptrdiff_t readSome(char* buffer, std::size_t capacity) override {
    ++reads;
    if (failing_) return -1;
    const std::size_t n = std::min(capacity, text_.size() - offset_);
    std::copy_n(text_.data() + offset_, n, buffer);
    offset_ += n;
    return static_cast<std::ptrdiff_t>(n);
  }
  int reads = 0;

 private:
  std::string text_;
  std::size_t offset_ = 0;
  bool failing_;
};

// Arguments, sizes and the printed bytes are checked through the real program; these are the
// cases a process cannot easily produce.
TEST_F(UpdateCheckTest, RunTurnsEveryFailureIntoAnAnswer) {
  const std::string config = configuration().dump();
  const std::string valid = request("desktop", "1.2.3", "").dump();
  CountingSource unread(valid);
  EXPECT_EQ(runUpdateHost(std::vector<std::string_view>{"-v"}, unread, config, access),
            R"({"failure":"CHANNEL_CONFIGURATION"})");
  EXPECT_EQ(unread.reads, 0);
  CountingSource broken("", /*failing=*/true);
  EXPECT_EQ(runUpdateHost({}, broken, config, access), R"({"failure":"RESPONSE_INVALID"})");
  CountingSource badConfig(valid);
  EXPECT_EQ(runUpdateHost({}, badConfig, "{\"profiles\"", access),
            R"({"failure":"RESPONSE_INVALID"})");
  CountingSource throwing(valid);
  transport.script = [](ResponseReceiver&) { throw std::bad_alloc(); };
  EXPECT_EQ(runUpdateHost({}, throwing, config, access), R"({"failure":"RESPONSE_INVALID"})");
}

}  // namespace
}  // namespace orvix::update_host
