#include "tools/update-host/gateway_url.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace orvix::update_host {

namespace {

struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

struct CurlTextDeleter {
  void operator()(char* text) const { curl_free(text); }
};

std::optional<std::string> urlPart(CURLU* url, CURLUPart part, unsigned int flags = 0) {
  char* raw = nullptr;
  if (curl_url_get(url, part, &raw, flags) != CURLUE_OK) return std::nullopt;
  const std::unique_ptr<char, CurlTextDeleter> owned(raw);
  return std::string(raw);
}

}  // namespace

std::optional<GatewayUrl> parseGatewayUrl(std::string_view text) {
  const std::string terminated(text);
  // The URL parser reads a C string: an embedded NUL would silently cut the URL short.
  if (terminated.find('\0') != std::string::npos) return std::nullopt;
  const std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
  if (!url || curl_url_set(url.get(), CURLUPART_URL, terminated.c_str(), 0) != CURLUE_OK) {
    return std::nullopt;
  }
  const auto scheme = urlPart(url.get(), CURLUPART_SCHEME);
  const auto host = urlPart(url.get(), CURLUPART_HOST, CURLU_URLDECODE);
  const auto path = urlPart(url.get(), CURLUPART_PATH);
  if (!scheme || (*scheme != "http" && *scheme != "https") || !host || host->empty() || !path) {
    return std::nullopt;
  }
  return GatewayUrl{terminated, path->empty() ? "/" : *path, *host};
}

bool isUnderInvalidDomain(std::string_view host) {
  std::string name(host);
  if (name.ends_with('.')) name.pop_back();
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return name == "invalid" || name.ends_with(".invalid");
}

}  // namespace orvix::update_host
