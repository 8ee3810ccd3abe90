#include "tools/update-host/failure.h"

namespace orvix::update_host {

std::string_view failureCode(Failure failure) {
  switch (failure) {
    case Failure::config:
      return "CHANNEL_CONFIGURATION";
    case Failure::network:
      return "NETWORK";
    case Failure::response:
      return "RESPONSE_INVALID";
    case Failure::rejected:
      return "GATEWAY_REJECTED";
    case Failure::auth:
      return "AUTH_REQUIRED";
    case Failure::device:
      return "DEVICE_NOT_READY";
    case Failure::version:
      return "VERSION_UNAVAILABLE";
  }
  return "RESPONSE_INVALID";
}

}  // namespace orvix::update_host
