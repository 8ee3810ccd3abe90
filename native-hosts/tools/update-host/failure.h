#pragma once

#include <exception>
#include <string_view>

namespace orvix::update_host {

// The one code a failed check prints, in the order the desktop application declares them.
enum class Failure {
  config,    // the request, the arguments or the built-in configuration are unusable
  network,   // no usable answer arrived: transport error, time-out, redirect, 3xx or 5xx status
  response,  // an answer arrived but cannot be used, or anything unforeseen went wrong
  rejected,  // the gateway refused the call with a 4xx status
  auth,      // part of the shared vocabulary; this program never raises it
  device,    // part of the shared vocabulary; this program never raises it
  version,   // a version text breaks the version rules
};

// The wire word, e.g. "CHANNEL_CONFIGURATION".
std::string_view failureCode(Failure failure);

// Thrown by every step of a check; the program turns it into its one-line answer.
class UpdateFailure : public std::exception {
 public:
  explicit UpdateFailure(Failure failure) : failure_(failure) {}
  Failure failure() const { return failure_; }
  const char* what() const noexcept override { return failureCode(failure_).data(); }

 private:
  Failure failure_;
};

}  // namespace orvix::update_host
