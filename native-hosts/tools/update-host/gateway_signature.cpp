#include "tools/update-host/gateway_signature.h"

#include <algorithm>

#include "tools/update-host/http_date.h"
#include "tools/update-host/md5_hex.h"

namespace orvix::update_host {

namespace {

constexpr std::string_view kJson = "application/json";
constexpr std::string_view kSignedPrefix = "X-Ca-";

bool isSignedHeader(const std::string& name) { return name.starts_with(kSignedPrefix); }

}  // namespace

SignedHeaders signGatewayRequest(const SigningInput& input) {
  const std::string date = httpDate(input.stamp.time);
  HeaderList headers = {
      {"Accept", std::string(kJson)},
      {"Content-Type", std::string(kJson)},
      {"Content-MD5", input.bodyMd5},
      {"Date", date},
      {"User-Agent", "ANDROID-SDK"},
      {"X-Ca-Timestamp", std::to_string(millisecondsSinceEpoch(input.stamp.time))},
      {"X-Ca-Stage", "RELEASE"},
      {"X-Ca-Version", "1.0"},
      {"X-Ca-Appid", input.gatewayAppId},
      {"X-Ca-Nonce", input.stamp.nonce},
      {"X-Ca-Group", "firmware"},  // both operations live in the firmware group
      {"X-Ca-Api", input.kind == UpdateKind::desktop ? "checkAppVersion" : "upgrade"},
      {"X-Ca-Mock", "false"},
  };

  HeaderList signedHeaders;
  std::copy_if(headers.begin(), headers.end(), std::back_inserter(signedHeaders),
               [](const auto& header) { return isSignedHeader(header.first); });
  std::sort(signedHeaders.begin(), signedHeaders.end());

  std::string stringToSign = "POST\n";
  stringToSign.append(kJson).append("\n");
  stringToSign.append(input.bodyMd5).append("\n");
  stringToSign.append(kJson).append("\n");
  stringToSign.append(date).append("\n");
  std::string names;
  for (const auto& [name, value] : signedHeaders) {
    stringToSign.append(name).append(":").append(value).append("\n");
    if (!names.empty()) names.push_back(',');
    names.append(name);
  }
  stringToSign.append(input.path).append(input.secret);

  headers.emplace_back("X-Ca-Signature", md5Hex(stringToSign));
  headers.emplace_back("X-Ca-Signature-Headers", names);
  return SignedHeaders{std::move(headers), std::move(stringToSign)};
}

}  // namespace orvix::update_host
