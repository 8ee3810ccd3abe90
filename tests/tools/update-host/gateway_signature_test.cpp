// The signature and date headers against values worked out independently of this code.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "common/uuid.h"
#include "tools/update-host/gateway_signature.h"
#include "tools/update-host/http_date.h"

namespace orvix::update_host {
namespace {

using namespace std::chrono;

// 2026-12-09 05:04:35.123 UTC, a Wednesday.
const system_clock::time_point kRequestTime{milliseconds(1796792675123)};

SigningInput desktopInput(std::string nonce = "3f2b8c1e-9a4d-4e6f-8b21-7c5d0e9f1a2b") {
  return SigningInput{UpdateKind::desktop, "900150983cd24fb0d6963f7d28e17f72",
                      "/firmware/check",   "Kx7Lp2Qm-test-gateway-secret",
                      "20481024",          RequestStamp{kRequestTime, std::move(nonce)}};
}

TEST(GatewaySignature, StringToSignAndHeadersMatchTheHandWorkedValues) {
  const SignedHeaders signedHeaders = signGatewayRequest(desktopInput());
  EXPECT_EQ(signedHeaders.stringToSign,
            "POST\n"
            "application/json\n"
            "900150983cd24fb0d6963f7d28e17f72\n"
            "application/json\n"
            "Wed, 09 Dec 2026 05:04:35 GMT\n"
            "X-Ca-Api:checkAppVersion\n"
            "X-Ca-Appid:20481024\n"
            "X-Ca-Group:firmware\n"
            "X-Ca-Mock:false\n"
            "X-Ca-Nonce:3f2b8c1e-9a4d-4e6f-8b21-7c5d0e9f1a2b\n"
            "X-Ca-Stage:RELEASE\n"
            "X-Ca-Timestamp:1796792675123\n"
            "X-Ca-Version:1.0\n"
            "/firmware/checkKx7Lp2Qm-test-gateway-secret");
  const HeaderList expected = {
      {"Accept", "application/json"},
      {"Content-Type", "application/json"},
      {"Content-MD5", "900150983cd24fb0d6963f7d28e17f72"},
      {"Date", "Wed, 09 Dec 2026 05:04:35 GMT"},
      {"User-Agent", "ANDROID-SDK"},
      {"X-Ca-Timestamp", "1796792675123"},
      {"X-Ca-Stage", "RELEASE"},
      {"X-Ca-Version", "1.0"},
      {"X-Ca-Appid", "20481024"},
      {"X-Ca-Nonce", "3f2b8c1e-9a4d-4e6f-8b21-7c5d0e9f1a2b"},
      {"X-Ca-Group", "firmware"},
      {"X-Ca-Api", "checkAppVersion"},
      {"X-Ca-Mock", "false"},
      // md5 of the string above, computed with a separate tool
      {"X-Ca-Signature", "dff0167fa831c331ae6aa43b2663545f"},
      {"X-Ca-Signature-Headers",
       "X-Ca-Api,X-Ca-Appid,X-Ca-Group,X-Ca-Mock,X-Ca-Nonce,X-Ca-Stage,X-Ca-Timestamp,"
       "X-Ca-Version"},
  };
  EXPECT_EQ(signedHeaders.headers, expected);
}

TEST(GatewaySignature, FirmwareUsesTheUpgradeOperationInTheSameGroup) {
  SigningInput input = desktopInput();
  input.kind = UpdateKind::firmware;
  const SignedHeaders signedHeaders = signGatewayRequest(input);
  EXPECT_NE(signedHeaders.stringToSign.find("X-Ca-Api:upgrade\nX-Ca-Appid"), std::string::npos);
  EXPECT_NE(signedHeaders.stringToSign.find("X-Ca-Group:firmware\n"), std::string::npos);
}

TEST(GatewaySignature, RequestsInTheSameMillisecondDifferByNonceAndSignature) {
  const auto first = signGatewayRequest(desktopInput(randomUuidText(LetterCase::lower)));
  const auto second = signGatewayRequest(desktopInput(randomUuidText(LetterCase::lower)));
  EXPECT_NE(first.headers[9].second, second.headers[9].second);    // X-Ca-Nonce
  EXPECT_NE(first.headers[13].second, second.headers[13].second);  // X-Ca-Signature
  EXPECT_EQ(first.headers[5].second, second.headers[5].second);    // X-Ca-Timestamp
}

TEST(HttpDate, IsEnglishGmtWhateverTheLocalTimeZone) {
  const char* previous = std::getenv("TZ");
  const std::string saved = previous ? previous : "";
  ::setenv("TZ", "Asia/Shanghai", 1);
  ::tzset();
  EXPECT_EQ(httpDate(kRequestTime), "Wed, 09 Dec 2026 05:04:35 GMT");
  EXPECT_EQ(httpDate(system_clock::time_point{}), "Thu, 01 Jan 1970 00:00:00 GMT");
  // A leap day, at the last second of the day.
  EXPECT_EQ(httpDate(system_clock::time_point{seconds(951868799)}),
            "Tue, 29 Feb 2000 23:59:59 GMT");
  EXPECT_EQ(millisecondsSinceEpoch(kRequestTime), 1796792675123);
  if (previous) {
    ::setenv("TZ", saved.c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
}

}  // namespace
}  // namespace orvix::update_host
