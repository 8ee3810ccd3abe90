#include "tools/update-host/loopback_proxy.h"

#include <httplib.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <set>

namespace orvix::update_host::testing {

namespace {

// What only the proxy hop concerns, what the client library sets itself (Content-Type from its
// own argument), and what the server library adds about the peer.
bool isHopHeader(const std::string& name) {
  static const std::set<std::string, httplib::detail::ci> kNames = {
      "Host",        "Content-Length",   "Content-Type",
      "Connection",  "Proxy-Connection", "Proxy-Authorization",
      "REMOTE_ADDR", "REMOTE_PORT",      "LOCAL_ADDR",
      "LOCAL_PORT"};
  return kNames.count(name) != 0;
}

void carry(const httplib::Request& request, httplib::Response& response) {
  static const std::regex kLoopbackTarget(R"(http://127\.0\.0\.1:([0-9]+)(/.*))");
  std::smatch target;
  if (!std::regex_match(request.target, target, kLoopbackTarget)) {
    response.status = 502;  // never beyond loopback
    return;
  }
  httplib::Headers headers;
  for (const auto& [name, value] : request.headers) {
    if (!isHopHeader(name)) headers.emplace(name, value);
  }
  httplib::Client origin("127.0.0.1", std::atoi(target[1].str().c_str()));
  origin.set_decompress(false);
  origin.set_keep_alive(true);  // otherwise the library adds "Connection: close"
  const auto answer =
      origin.Post(target[2].str(), headers, request.body, request.get_header_value("Content-Type"));
  if (!answer) {
    response.status = 502;
    return;
  }
  response.status = answer->status;
  response.set_content(answer->body, answer->get_header_value("Content-Type"));
}

}  // namespace

LoopbackProxy::LoopbackProxy() : server_(std::make_unique<httplib::Server>()) {}

LoopbackProxy::~LoopbackProxy() {
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

bool LoopbackProxy::start() {
  server_->set_pre_routing_handler([this](const httplib::Request& request, httplib::Response&) {
    const std::lock_guard lock(mutex_);
    requestLines_.push_back(request.method + " " + request.target);
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server_->Post(".*", carry);
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) return false;
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // The server ignores stop() until its accept loop runs.
  for (int i = 0; i < 5000 && !server_->is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::string LoopbackProxy::url() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::vector<std::string> LoopbackProxy::requestLines() const {
  const std::lock_guard lock(mutex_);
  return requestLines_;
}

void forgetProxyEnvironment() {
  for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                           "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
    ::unsetenv(name);
  }
}

}  // namespace orvix::update_host::testing
