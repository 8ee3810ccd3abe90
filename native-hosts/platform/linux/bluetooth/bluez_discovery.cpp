#include "platform/linux/bluetooth/bluez_discovery.h"

#include <utility>

namespace orvix::platform::linux_bluetooth {

namespace {

constexpr const char* kAdapter = "org.bluez.Adapter1";

bool isInProgress(const BusError& error) { return error.name == "org.bluez.Error.InProgress"; }

}  // namespace

BluezDiscovery::BluezDiscovery(RunLoop& mainLoop, Send send, Failed failed)
    : mainLoop_(mainLoop), send_(std::move(send)), failed_(std::move(failed)) {}

BluezDiscovery::~BluezDiscovery() {
  if (retry_) retry_->cancel();
}

void BluezDiscovery::want(const std::string& adapter, bool active, bool duplicates) {
  if (adapter != adapter_) reset();
  adapter_ = adapter;
  wantActive_ = active;
  wantDuplicates_ = duplicates;
  advance();
}

void BluezDiscovery::reset() {
  ++generation_;
  if (retry_) retry_->cancel();
  retry_.reset();
  phase_ = Phase::idle;
  inFlight_ = false;
}

BusReply BluezDiscovery::current(std::function<void(const std::optional<BusError>&)> handle) {
  return [this, generation = generation_, handle = std::move(handle)](
             const std::optional<BusError>& error) {
    if (generation == generation_) handle(error);
  };
}

BusCall BluezDiscovery::filterCall(bool duplicates) const {
  auto call = objectCall(adapter_, kAdapter, "SetDiscoveryFilter");
  call.arguments = BusCall::Arguments::discoveryFilter;
  call.duplicateData = duplicates;
  call.rssiFloor = kRssiFloor;
  return call;
}

void BluezDiscovery::advance() {
  if (inFlight_ || adapter_.empty()) return;
  if (wantActive_ && phase_ == Phase::idle) {
    inFlight_ = true;
    const bool duplicates = wantDuplicates_;
    send_(filterCall(duplicates), current([this, duplicates](const auto& error) {
            if (error) {
              inFlight_ = false;
              wantActive_ = false;
              failed_(*error);
              return;
            }
            duplicatesInForce_ = duplicates;
            start(1);
          }));
  } else if (wantActive_ && duplicatesInForce_ != wantDuplicates_) {
    filterRunning(wantDuplicates_);
  } else if (!wantActive_ && phase_ == Phase::started) {
    stop();
  }
}

void BluezDiscovery::start(int attempt) {
  send_(objectCall(adapter_, kAdapter, "StartDiscovery"), current([this, attempt](const auto& error) {
          if (error && isInProgress(*error) && attempt < kMaximumStartAttempts) {
            // Our own stop is still being carried out: the start goes in once it is done.
            retry_ = mainLoop_.scheduleAfter(kRetryDelay, [this, attempt, generation = generation_] {
              if (generation != generation_) return;
              if (wantActive_) return start(attempt + 1);
              inFlight_ = false;  // no longer wanted: nothing was started
              advance();
            });
            return;
          }
          inFlight_ = false;
          if (error) {
            wantActive_ = false;
            failed_(*error);
            return;
          }
          phase_ = Phase::started;
          advance();
        }));
}

void BluezDiscovery::filterRunning(bool duplicates) {
  inFlight_ = true;
  send_(filterCall(duplicates), current([this, duplicates](const auto& error) {
          inFlight_ = false;
          // A filter bluetoothd did not take leaves the running session as it was.
          if (!error) duplicatesInForce_ = duplicates;
          if (error) wantDuplicates_ = duplicatesInForce_;
          advance();
        }));
}

void BluezDiscovery::stop() {
  inFlight_ = true;
  send_(objectCall(adapter_, kAdapter, "StopDiscovery"), current([this](const auto&) {
          // Refused or not, this client has no session afterwards ("No discovery started").
          inFlight_ = false;
          phase_ = Phase::idle;
          advance();
        }));
}

}  // namespace orvix::platform::linux_bluetooth
