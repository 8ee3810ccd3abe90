#include "tools/update-host/response_receiver.h"

namespace orvix::update_host {

void ResponseReceiver::record(Failure failure) {
  if (!failure_) failure_ = failure;
}

bool ResponseReceiver::onHead(long status, std::optional<std::size_t> announcedLength) {
  const bool tooLong = announcedLength && *announcedLength > maximumBodyBytes_;
  if (status >= 200 && status <= 299 && !tooLong) return true;
  if (tooLong) {
    record(Failure::response);
  } else if (status >= 400 && status <= 499) {
    record(Failure::rejected);
  } else {
    record(Failure::network);
  }
  return false;
}

bool ResponseReceiver::onData(std::string_view data) {
  if (failure_) return false;
  if (data.size() > maximumBodyBytes_ - body_.size()) {
    record(Failure::response);
    return false;
  }
  body_.append(data);
  return true;
}

void ResponseReceiver::onRedirect() { record(Failure::network); }

void ResponseReceiver::onComplete(bool endedWithError) {
  if (endedWithError) record(Failure::network);
  completed_ = true;
}

}  // namespace orvix::update_host
