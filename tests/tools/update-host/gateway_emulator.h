#pragma once

// A stand-in for the vendor's API gateway on loopback. It checks each request on its own terms
// (its own header rules, its own signature and Content-MD5 computation from the shared secret,
// its own deciphering and decompression of the body) and answers the way the real gateway does,
// or with one of the faults the checker must survive.

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace httplib {
class Server;
}

namespace orvix::update_host::testing {

enum class EmulatorMode {
  encoded,              // verify, then answer 200 with an enciphered, compressed JSON object
  plainJson,            // 200 with a plain JSON object
  redirect,             // 302 to another path on the same server
  unauthorized,         // 401
  notFound,             // 404
  serverError,          // 500
  hugeAnnouncedLength,  // 200 announcing (and starting to send) 2 MiB
  endlessStream,        // 200 without a length, streaming well past 1 MiB
  notJson,              // 200 with a body that is neither JSON nor enciphered JSON
  silence,              // accepts the request and answers (200, plain JSON) only when stopped or
                        // after a minute: a client that has not given up by then takes that answer
};

std::optional<EmulatorMode> emulatorModeNamed(const std::string& name);

struct EmulatorSettings {
  std::string secret;  // the shared gateway secret; its first 8 bytes are the body key
  std::string appId;   // the X-Ca-Appid the gateway expects
  EmulatorMode mode = EmulatorMode::encoded;
};

// What the emulator saw of one request and what it found wrong with it. An empty `problems`
// means the request would pass the real gateway's checks.
struct ReceivedRequest {
  std::string path;
  std::vector<std::pair<std::string, std::string>> headers;  // names exactly as received
  std::optional<nlohmann::json> body;                        // deciphered and decompressed
  std::string stringToSign;                                  // as the emulator rebuilt it
  bool signatureValid = false;
  std::vector<std::string> problems;
};

// The request checks alone, without HTTP: used by the emulator and directly by tests.
ReceivedRequest inspectGatewayRequest(const EmulatorSettings& settings, const std::string& method,
                                      const std::string& path,
                                      std::vector<std::pair<std::string, std::string>> headers,
                                      const std::string& body);

// The answer the emulator sends in `encoded` mode, enciphered and compressed with `secret`.
std::string encodeEmulatorAnswer(const nlohmann::json& answer, const std::string& secret);

class GatewayEmulator {
 public:
  explicit GatewayEmulator(EmulatorSettings settings);
  ~GatewayEmulator();
  GatewayEmulator(const GatewayEmulator&) = delete;
  GatewayEmulator& operator=(const GatewayEmulator&) = delete;

  // Binds 127.0.0.1:port (0 picks a free port) and serves on a thread. Returns the bound port,
  // or absent when the address is taken.
  std::optional<int> start(int port);
  void stop();

  void setMode(EmulatorMode mode);
  std::vector<ReceivedRequest> requests() const;

 private:
  void serve(const std::string& method, const std::string& path,
             std::vector<std::pair<std::string, std::string>> headers, const std::string& body,
             void* response);
  void waitUntilStopped();

  mutable std::mutex mutex_;
  std::condition_variable stopped_;
  bool stopping_ = false;
  EmulatorSettings settings_;
  std::vector<ReceivedRequest> requests_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
};

}  // namespace orvix::update_host::testing
