#include "tools/update-host/gateway_emulator.h"

#include <httplib.h>
#include <nettle/des.h>
#include <nettle/md5.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <set>

namespace orvix::update_host::testing {

namespace {

using Json = nlohmann::json;
using Headers = std::vector<std::pair<std::string, std::string>>;

constexpr std::size_t kOneMebibyte = 1 << 20;

// Written from the gateway's documentation, not from the checker's code: these are the headers
// a call must carry, with the exact spelling the gateway matches.
const std::vector<std::string> kRequiredHeaders = {
    "Accept",         "Content-Type", "Content-MD5",  "Date",           "User-Agent",
    "X-Ca-Timestamp", "X-Ca-Stage",   "X-Ca-Version", "X-Ca-Appid",     "X-Ca-Nonce",
    "X-Ca-Group",     "X-Ca-Api",     "X-Ca-Mock",    "X-Ca-Signature", "X-Ca-Signature-Headers"};
// HTTP itself needs these; the server library adds the REMOTE_/LOCAL_ entries for the peer.
const std::set<std::string> kTransportHeaders = {"Host",        "Content-Length", "REMOTE_ADDR",
                                                 "REMOTE_PORT", "LOCAL_ADDR",     "LOCAL_PORT"};

std::string hex(const std::uint8_t* bytes, std::size_t size) {
  std::string text;
  char pair[3];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
    text += pair;
  }
  return text;
}

std::string md5(const std::string& data) {
  md5_ctx context;
  md5_init(&context);
  md5_update(&context, data.size(), reinterpret_cast<const std::uint8_t*>(data.data()));
  std::uint8_t digest[MD5_DIGEST_SIZE];
  md5_digest(&context, sizeof digest, digest);
  return hex(digest, sizeof digest);
}

// DES-ECB with PKCS#7, one block at a time.
std::optional<std::string> desCrypt(const std::string& data, const std::string& secret,
                                    bool decrypt) {
  if (secret.size() < 8) return std::nullopt;
  des_ctx context;
  des_set_key(&context, reinterpret_cast<const std::uint8_t*>(secret.data()));
  std::string input = data;
  if (!decrypt) input.append(8 - data.size() % 8, static_cast<char>(8 - data.size() % 8));
  if (input.empty() || input.size() % 8 != 0) return std::nullopt;
  std::string output(input.size(), '\0');
  for (std::size_t at = 0; at < input.size(); at += 8) {
    auto* out = reinterpret_cast<std::uint8_t*>(output.data() + at);
    const auto* in = reinterpret_cast<const std::uint8_t*>(input.data() + at);
    if (decrypt) {
      des_decrypt(&context, 8, out, in);
    } else {
      des_encrypt(&context, 8, out, in);
    }
  }
  if (!decrypt) return output;
  const auto pad = static_cast<unsigned char>(output.back());
  if (pad < 1 || pad > 8) return std::nullopt;
  if (output.compare(output.size() - pad, pad, std::string(pad, static_cast<char>(pad))) != 0) {
    return std::nullopt;
  }
  output.resize(output.size() - pad);
  return output;
}

std::optional<std::string> gunzip(const std::string& data) {
  // The gateway insists on the gzip wrapper: magic bytes 1f 8b, then deflate.
  if (data.size() < 18 || static_cast<unsigned char>(data[0]) != 0x1f ||
      static_cast<unsigned char>(data[1]) != 0x8b) {
    return std::nullopt;
  }
  z_stream stream{};
  if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) return std::nullopt;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  std::string output;
  int status = Z_OK;
  while (status == Z_OK && output.size() <= kOneMebibyte) {
    char buffer[4096];
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof buffer;
    status = inflate(&stream, Z_NO_FLUSH);
    output.append(buffer, sizeof buffer - stream.avail_out);
    if (status == Z_BUF_ERROR) break;
  }
  inflateEnd(&stream);
  if (status != Z_STREAM_END) return std::nullopt;
  return output;
}

std::string gzip(const std::string& data) {
  z_stream stream{};
  deflateInit2(&stream, 6, Z_DEFLATED, 16 + MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
  std::string output(deflateBound(&stream, static_cast<uLong>(data.size())) + 32, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(output.data());
  stream.avail_out = static_cast<uInt>(output.size());
  deflate(&stream, Z_FINISH);
  output.resize(stream.total_out);
  deflateEnd(&stream);
  return output;
}

bool isDigits(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A fixed-width pattern: 'x' a lower-case hex digit, 'd' a digit, 'v' one of 8 9 a b (the UUID
// variant), anything else itself.
bool hasShape(const std::string& text, std::string_view shape) {
  if (text.size() != shape.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool digit = c >= '0' && c <= '9';
    const bool ok = shape[i] == 'x'   ? digit || (c >= 'a' && c <= 'f')
                    : shape[i] == 'd' ? digit
                    : shape[i] == 'v' ? (c == '8' || c == '9' || c == 'a' || c == 'b')
                                      : c == shape[i];
    if (!ok) return false;
  }
  return true;
}

const std::string* headerValue(const Headers& headers, const std::string& name) {
  for (const auto& [key, value] : headers) {
    if (key == name) return &value;
  }
  return nullptr;
}

std::string dateOfTimestamp(const std::string& milliseconds) {
  const std::time_t seconds = static_cast<std::time_t>(std::stoll(milliseconds) / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[64];
  std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &utc);
  return text;
}

void checkHeaders(const EmulatorSettings& settings, const Headers& headers,
                  std::vector<std::string>& problems) {
  for (const auto& name : kRequiredHeaders) {
    const auto count = std::count_if(headers.begin(), headers.end(),
                                     [&](const auto& header) { return header.first == name; });
    if (count != 1)
      problems.push_back("header " + name + " sent " + std::to_string(count) + " times");
  }
  for (const auto& [name, value] : headers) {
    if (std::find(kRequiredHeaders.begin(), kRequiredHeaders.end(), name) ==
            kRequiredHeaders.end() &&
        kTransportHeaders.count(name) == 0) {
      problems.push_back("unexpected header " + name + ": " + value);
    }
  }
  const std::vector<std::pair<std::string, std::string>> fixed = {
      {"Accept", "application/json"}, {"Content-Type", "application/json"},
      {"User-Agent", "ANDROID-SDK"},  {"X-Ca-Stage", "RELEASE"},
      {"X-Ca-Version", "1.0"},        {"X-Ca-Group", "firmware"},
      {"X-Ca-Mock", "false"},         {"X-Ca-Appid", settings.appId}};
  for (const auto& [name, expected] : fixed) {
    const auto* value = headerValue(headers, name);
    if (value && *value != expected) problems.push_back(name + " is " + *value);
  }
  if (const auto* nonce = headerValue(headers, "X-Ca-Nonce");
      nonce && !hasShape(*nonce, "xxxxxxxx-xxxx-4xxx-vxxx-xxxxxxxxxxxx")) {
    problems.push_back("nonce is not a lower-case random UUID: " + *nonce);
  }
  const auto* timestamp = headerValue(headers, "X-Ca-Timestamp");
  const auto* date = headerValue(headers, "Date");
  if (timestamp && date) {
    if (!hasShape(*timestamp, "ddddddddddddd")) {
      problems.push_back("timestamp is not in milliseconds: " + *timestamp);
    } else if (dateOfTimestamp(*timestamp) != *date) {
      problems.push_back("Date " + *date + " does not match the timestamp");
    }
  }
}

// Rebuilds the string to sign from what arrived, the way the gateway does: the listed headers in
// the listed order, which must be exactly the X-Ca- headers other than the signature's own.
void checkSignature(const EmulatorSettings& settings, const std::string& path,
                    const Headers& headers, ReceivedRequest& request) {
  const auto* listed = headerValue(headers, "X-Ca-Signature-Headers");
  const auto* signature = headerValue(headers, "X-Ca-Signature");
  if (!listed || !signature) return;
  std::vector<std::string> expectedNames;
  for (const auto& [name, value] : headers) {
    if (name.rfind("X-Ca-", 0) == 0 && name != "X-Ca-Signature" &&
        name != "X-Ca-Signature-Headers") {
      expectedNames.push_back(name);
    }
  }
  std::sort(expectedNames.begin(), expectedNames.end());
  std::string expectedList;
  for (const auto& name : expectedNames) expectedList += (expectedList.empty() ? "" : ",") + name;
  if (*listed != expectedList) request.problems.push_back("signed headers listed as " + *listed);

  auto value = [&](const std::string& name) {
    const auto* found = headerValue(headers, name);
    return found ? *found : std::string();
  };
  std::string text = "POST\n" + value("Accept") + "\n" + value("Content-MD5") + "\n" +
                     value("Content-Type") + "\n" + value("Date") + "\n";
  std::size_t start = 0;
  while (start <= listed->size()) {
    const std::size_t comma = std::min(listed->find(',', start), listed->size());
    const std::string name = listed->substr(start, comma - start);
    text += name + ":" + value(name) + "\n";
    start = comma + 1;
  }
  text += path + settings.secret;
  request.stringToSign = text;
  request.signatureValid = md5(text) == *signature;
  if (!request.signatureValid) request.problems.push_back("signature does not match");
}

void expectKeys(const Json& object, const std::set<std::string>& keys, const std::string& what,
                std::vector<std::string>& problems) {
  std::set<std::string> actual;
  if (object.is_object()) {
    for (const auto& item : object.items()) actual.insert(item.key());
  }
  if (actual != keys) problems.push_back(what + " has keys " + Json(actual).dump());
}

void checkBody(const std::string& api, const Json& body, std::vector<std::string>& problems) {
  expectKeys(body, {"base", "param"}, "body", problems);
  if (!body.is_object() || !body.contains("base") || !body.contains("param")) return;
  const Json& base = body["base"];
  const Json& param = body["param"];
  std::set<std::string> baseKeys = {"appid",    "productId", "modelId",
                                    "deviceId", "pVer",      "clientVer"};
  auto expectText = [&](const std::string& key, const std::string& expected) {
    if (base.contains(key) && base[key] != expected) {
      problems.push_back("base." + key + " is " + base[key].dump());
    }
  };
  expectText("pVer", "1.1");
  if (api == "checkAppVersion") {
    if (!base.contains("clientVer") || !base["clientVer"].is_string() ||
        !isDigits(base["clientVer"].get<std::string>())) {
      problems.push_back("desktop clientVer is not a number text");
    }
    if (param != Json::object()) problems.push_back("desktop param is " + param.dump());
  } else {
    for (const auto& key : {"romVer", "imei", "mac", "meid", "osid", "latitude", "longitude",
                            "province", "city", "lang", "df"}) {
      baseKeys.insert(key);
    }
    for (const auto& key : {"imei", "mac", "meid", "latitude", "longitude", "province", "city"}) {
      expectText(key, "");
    }
    expectText("osid", "Mac");
    expectText("lang", "zh");
    expectText("df", "darwin/x64");
    const bool appsWellFormed = param.is_object() && param.size() == 1 && param.contains("apps") &&
                                param["apps"].is_array() && param["apps"].size() == 1;
    if (!appsWellFormed) {
      problems.push_back("firmware param is " + param.dump());
    } else {
      expectKeys(param["apps"][0], {"pkgName", "appVersion"}, "param.apps[0]", problems);
      if (param["apps"][0].value("appVersion", Json()) != base.value("clientVer", Json())) {
        problems.push_back("appVersion differs from clientVer");
      }
    }
  }
  expectKeys(base, baseKeys, "base", problems);
}

}  // namespace

std::optional<EmulatorMode> emulatorModeNamed(const std::string& name) {
  static const std::vector<std::pair<std::string, EmulatorMode>> kNames = {
      {"encoded", EmulatorMode::encoded},
      {"plain-json", EmulatorMode::plainJson},
      {"redirect", EmulatorMode::redirect},
      {"unauthorized", EmulatorMode::unauthorized},
      {"not-found", EmulatorMode::notFound},
      {"server-error", EmulatorMode::serverError},
      {"huge-length", EmulatorMode::hugeAnnouncedLength},
      {"endless-stream", EmulatorMode::endlessStream},
      {"not-json", EmulatorMode::notJson},
      {"silence", EmulatorMode::silence}};
  for (const auto& [text, mode] : kNames) {
    if (text == name) return mode;
  }
  return std::nullopt;
}

ReceivedRequest inspectGatewayRequest(const EmulatorSettings& settings, const std::string& method,
                                      const std::string& path, Headers headers,
                                      const std::string& body) {
  ReceivedRequest request;
  request.path = path;
  request.headers = std::move(headers);
  if (method != "POST") request.problems.push_back("method " + method);
  checkHeaders(settings, request.headers, request.problems);
  if (const auto* contentMd5 = headerValue(request.headers, "Content-MD5");
      contentMd5 && *contentMd5 != md5(body)) {
    request.problems.push_back("Content-MD5 does not match the body");
  }
  checkSignature(settings, path, request.headers, request);

  const auto deciphered = desCrypt(body, settings.secret, /*decrypt=*/true);
  const auto text = deciphered ? gunzip(*deciphered) : std::nullopt;
  if (!text) {
    request.problems.push_back("body is not enciphered gzip");
  } else {
    Json parsed = Json::parse(*text, nullptr, false);
    if (parsed.is_discarded()) {
      request.problems.push_back("body is not JSON");
    } else {
      request.body = parsed;
      const auto* api = headerValue(request.headers, "X-Ca-Api");
      if (!api || (*api != "checkAppVersion" && *api != "upgrade")) {
        request.problems.push_back("unknown operation");
      } else {
        checkBody(*api, parsed, request.problems);
      }
    }
  }
  return request;
}

std::string encodeEmulatorAnswer(const Json& answer, const std::string& secret) {
  return *desCrypt(gzip(answer.dump()), secret, /*decrypt=*/false);
}

GatewayEmulator::GatewayEmulator(EmulatorSettings settings)
    : settings_(std::move(settings)), server_(std::make_unique<httplib::Server>()) {}

GatewayEmulator::~GatewayEmulator() { stop(); }

std::optional<int> GatewayEmulator::start(int port) {
  server_->Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
    Headers headers(request.headers.begin(), request.headers.end());
    serve(request.method, request.path, std::move(headers), request.body, &response);
  });
  server_->Get(".*",
               [](const httplib::Request&, httplib::Response& response) { response.status = 405; });
  const bool bound = port == 0 ? (port_ = server_->bind_to_any_port("127.0.0.1")) > 0
                               : server_->bind_to_port("127.0.0.1", port);
  if (!bound) return std::nullopt;
  if (port != 0) port_ = port;
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // The server ignores stop() until its accept loop runs, so wait for that (briefly) before a
  // caller can stop it.
  for (int i = 0; i < 5000 && !server_->is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return port_;
}

void GatewayEmulator::stop() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  stopped_.notify_all();
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

void GatewayEmulator::setMode(EmulatorMode mode) {
  const std::lock_guard lock(mutex_);
  settings_.mode = mode;
}

std::vector<ReceivedRequest> GatewayEmulator::requests() const {
  const std::lock_guard lock(mutex_);
  return requests_;
}

void GatewayEmulator::waitUntilStopped() {
  std::unique_lock lock(mutex_);
  // Bounded, so that a forgotten emulator cannot hold a thread forever.
  stopped_.wait_for(lock, std::chrono::seconds(60), [this] { return stopping_; });
}

void GatewayEmulator::serve(const std::string& method, const std::string& path, Headers headers,
                            const std::string& body, void* responseHandle) {
  auto& response = *static_cast<httplib::Response*>(responseHandle);
  EmulatorSettings settings;
  {
    const std::lock_guard lock(mutex_);
    settings = settings_;
  }
  if (path == "/redirected") {  // only a client that follows redirects gets here
    response.set_content(R"({"followed":true})", "application/json");
    return;
  }
  ReceivedRequest request = inspectGatewayRequest(settings, method, path, std::move(headers), body);
  const bool signatureValid = request.signatureValid;
  const bool wellFormed = request.problems.empty();
  const Json decodedBody = request.body.value_or(Json());
  {
    const std::lock_guard lock(mutex_);
    requests_.push_back(std::move(request));
  }

  switch (settings.mode) {
    case EmulatorMode::encoded:
      if (!signatureValid) {
        response.status = 401;
        response.set_header("X-Ca-Error-Message", "Invalid Signature");
        response.set_content(R"({"errorMessage":"Invalid Signature"})", "application/json");
      } else if (!wellFormed) {
        response.status = 400;
        response.set_content(R"({"errorMessage":"Bad Request"})", "application/json");
      } else {
        const Json answer = {{"code", 0},
                             {"message", "success"},
                             {"data",
                              {{"hasUpdate", true},
                               {"latestVersion", "9.9.9"},
                               {"downloadUrl", "https://downloads.invalid/orvix-9.9.9.pkg"},
                               {"received", decodedBody["base"]}}}};
        response.set_content(encodeEmulatorAnswer(answer, settings.secret),
                             "application/octet-stream");
      }
      return;
    case EmulatorMode::plainJson:
      response.set_content(R"({"code":0,"message":"plain"})", "application/json");
      return;
    case EmulatorMode::redirect:
      response.status = 302;
      response.set_header("Location", "/redirected");
      return;
    case EmulatorMode::unauthorized:
      response.status = 401;
      response.set_content(R"({"errorMessage":"Unauthorized"})", "application/json");
      return;
    case EmulatorMode::notFound:
      response.status = 404;
      return;
    case EmulatorMode::serverError:
      response.status = 500;
      response.set_content(R"({"errorMessage":"Internal Error"})", "application/json");
      return;
    case EmulatorMode::hugeAnnouncedLength:
      response.set_content_provider(
          2 * kOneMebibyte, "application/json",
          [](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            const std::string chunk(std::min<std::size_t>(length, 65536), ' ');
            return offset < 2 * kOneMebibyte && sink.write(chunk.data(), chunk.size());
          });
      return;
    case EmulatorMode::endlessStream:
      response.set_chunked_content_provider(
          "application/json", [](std::size_t offset, httplib::DataSink& sink) {
            if (offset >= 3 * kOneMebibyte) {  // bounded: the client should have left long ago
              sink.done();
              return true;
            }
            const std::string chunk(65536, offset == 0 ? '[' : ' ');
            return sink.write(chunk.data(), chunk.size());
          });
      return;
    case EmulatorMode::notJson:
      response.set_content("<html><body>gateway maintenance</body></html>", "text/html");
      return;
    case EmulatorMode::silence:
      waitUntilStopped();
      response.set_content(R"({"code":0,"message":"late"})", "application/json");
      return;
  }
}

}  // namespace orvix::update_host::testing
