#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "tools/update-host/failure.h"

namespace orvix::update_host {

// Collects one gateway answer as the transport delivers it, applying the status and size rules
// the moment each piece arrives, so an oversized or refused answer is cancelled without being
// held. The first failure recorded wins: a cancellation caused by a rule must not later be
// reported as the transport error it provokes.
//
// Notes for transports: call onHead once per final response head (never for 1xx interim heads),
// onData for each body piece, onRedirect if the transport itself meets a redirect it would
// follow, and onComplete exactly once at the end. A false return from onHead or onData means
// "cancel the transfer now".
class ResponseReceiver {
 public:
  explicit ResponseReceiver(std::size_t maximumBodyBytes) : maximumBodyBytes_(maximumBodyBytes) {}

  // `announcedLength` is absent when the response does not state its length.
  bool onHead(long status, std::optional<std::size_t> announcedLength);
  bool onData(std::string_view data);
  void onRedirect();
  void onComplete(bool endedWithError);

  bool completed() const { return completed_; }
  const std::optional<Failure>& failure() const { return failure_; }
  const std::string& body() const { return body_; }

 private:
  void record(Failure failure);

  std::size_t maximumBodyBytes_;
  std::string body_;
  std::optional<Failure> failure_;
  bool completed_ = false;
};

}  // namespace orvix::update_host
