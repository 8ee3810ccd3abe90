#pragma once

// A forward HTTP proxy on loopback, like the one a user's network may require. It takes requests
// in absolute form ("POST http://127.0.0.1:N/path"), carries those whose origin is on loopback
// there and hands the answer back, and refuses everything else (a CONNECT tunnel included). It
// records the request line of every request it was asked to carry.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace orvix::update_host::testing {

class LoopbackProxy {
 public:
  LoopbackProxy();
  ~LoopbackProxy();
  LoopbackProxy(const LoopbackProxy&) = delete;
  LoopbackProxy& operator=(const LoopbackProxy&) = delete;

  // Listens on a free loopback port; false when none could be bound.
  bool start();
  // "http://127.0.0.1:N", as a proxy variable names it.
  std::string url() const;
  // "METHOD target" of each request received, in order.
  std::vector<std::string> requestLines() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> requestLines_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
};

// Removes the proxy variables libcurl and the curl tool read from this process's environment (and
// so from its children's). The tests talk to loopback only; a proxy configured on the machine
// would carry their requests elsewhere.
void forgetProxyEnvironment();

}  // namespace orvix::update_host::testing
