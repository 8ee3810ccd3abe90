#include "tools/update-host/curl_transport.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <string_view>

namespace orvix::update_host {

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct HeaderListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// What the callbacks share: the receiver, and the head being read (curl hands it over line by
// line, interim 1xx heads included).
struct TransferState {
  ResponseReceiver& receiver;
  CURL* easy;
  std::optional<std::size_t> announcedLength;
  bool headDelivered = false;  // later header lines are trailers, not a new head
};

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) ==
                  std::tolower(static_cast<unsigned char>(b));
         });
}

// Content-Length as announced; a value too large to represent counts as too large to accept.
std::optional<std::size_t> parseContentLength(std::string_view value) {
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back()))) {
    value.remove_suffix(1);
  }
  if (value.empty()) return std::nullopt;
  std::size_t length = 0;
  for (const char c : value) {
    if (c < '0' || c > '9') return std::nullopt;
    if (length > SIZE_MAX / 10) return SIZE_MAX;
    length = length * 10 + static_cast<std::size_t>(c - '0');
  }
  return length;
}

std::size_t onHeaderLine(char* data, std::size_t size, std::size_t count, void* context) {
  auto& state = *static_cast<TransferState*>(context);
  const std::string_view line(data, size * count);
  if (state.headDelivered) return line.size();
  if (startsWithIgnoringCase(line, "HTTP/")) {
    state.announcedLength.reset();
  } else if (startsWithIgnoringCase(line, "content-length:")) {
    state.announcedLength = parseContentLength(line.substr(15));
  } else if (line == "\r\n" || line == "\n") {
    long status = 0;
    curl_easy_getinfo(state.easy, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 100 && status <= 199)
      return line.size();  // an interim head; the real one follows
    state.headDelivered = true;
    if (!state.receiver.onHead(status, state.announcedLength)) return 0;
  }
  return line.size();
}

std::size_t onBodyData(char* data, std::size_t size, std::size_t count, void* context) {
  auto& state = *static_cast<TransferState*>(context);
  const std::size_t bytes = size * count;
  return state.receiver.onData(std::string_view(data, bytes)) ? bytes : 0;
}

curl_slist* headerList(const HeaderList& headers) {
  curl_slist* list = nullptr;
  for (const auto& [name, value] : headers) {
    list = curl_slist_append(list, (name + ": " + value).c_str());
  }
  // curl would announce "Expect: 100-continue" for larger bodies on its own; the gateway must see
  // exactly our headers.
  return curl_slist_append(list, "Expect:");
}

void configure(CURL* easy, const HttpPost& request, const TransportLimits& limits,
               curl_slist* headers, TransferState& state) {
  const auto transferMilliseconds = static_cast<long>(limits.transferTimeout.count());
  curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_POST, 1L);
  curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data());
  curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  // No CURLOPT_PROXY: libcurl then takes the proxy from http_proxy, https_proxy, all_proxy and
  // no_proxy, so a user who reaches the web only through a proxy still reaches the gateway.
  // Through a tunnel, the proxy's own answer to CONNECT is not the gateway's head.
  curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, transferMilliseconds);
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, transferMilliseconds);
  // A stalled transfer: less than a byte per second for the whole transfer timeout.
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME,
                   std::max(1L, static_cast<long>((transferMilliseconds + 999) / 1000)));
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeaderLine);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &state);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onBodyData);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &state);
}

}  // namespace

CurlTransport::CurlTransport() { curl_global_init(CURL_GLOBAL_DEFAULT); }

CurlTransport::~CurlTransport() { curl_global_cleanup(); }

void CurlTransport::post(const HttpPost& request, const TransportLimits& limits,
                         ResponseReceiver& receiver) {
  const auto deadline = steady_clock::now() + limits.overallTimeout;
  const std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  const std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
  const std::unique_ptr<curl_slist, HeaderListDeleter> headers(headerList(request.headers));
  if (!easy || !multi || !headers) {
    receiver.onComplete(/*endedWithError=*/true);
    return;
  }
  TransferState state{receiver, easy.get(), std::nullopt, false};
  configure(easy.get(), request, limits, headers.get(), state);
  if (curl_multi_add_handle(multi.get(), easy.get()) != CURLM_OK) {
    receiver.onComplete(/*endedWithError=*/true);
    return;
  }

  for (;;) {
    int running = 0;
    if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
      receiver.onComplete(/*endedWithError=*/true);
      break;
    }
    int queued = 0;
    if (const CURLMsg* message = curl_multi_info_read(multi.get(), &queued);
        message != nullptr && message->msg == CURLMSG_DONE) {
      receiver.onComplete(message->data.result != CURLE_OK);
      break;
    }
    const auto remaining = std::chrono::ceil<milliseconds>(deadline - steady_clock::now());
    if (remaining.count() <= 0) break;  // abandoned: the receiver stays incomplete
    const auto wait = std::min(remaining, milliseconds(1000));
    curl_multi_poll(multi.get(), nullptr, 0, static_cast<int>(wait.count()), nullptr);
  }
  curl_multi_remove_handle(multi.get(), easy.get());
}

}  // namespace orvix::update_host
