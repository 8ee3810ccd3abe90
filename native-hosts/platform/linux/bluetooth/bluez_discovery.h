#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/time/run_loop.h"
#include "platform/linux/bluetooth/bluez_bus.h"

namespace orvix::platform::linux_bluetooth {

// This client's discovery session on the adapter, brought to what the manager wants one call at
// a time, each sent only after the previous one's reply: bluetoothd keeps a client's session
// until the controller confirms its stop and answers a StartDiscovery sent meanwhile with
// "InProgress", which is retried for a while. The filter (LE only, duplicates as wanted, an
// RSSI floor so that bluetoothd reports the RSSI of every advertisement rather than only
// changes of 8 dBm) is set before the start, and again on a running session when the wish for
// duplicates changes. Any other refusal ends the wish and is reported through `failed`.
//
// Main thread only.
class BluezDiscovery {
 public:
  using Send = std::function<void(BusCall call, BusReply reply)>;
  using Failed = std::function<void(const BusError& error)>;

  static constexpr std::int16_t kRssiFloor = -127;
  static constexpr Duration kRetryDelay = std::chrono::milliseconds(50);
  static constexpr int kMaximumStartAttempts = 40;  // about two seconds of "InProgress"

  BluezDiscovery(RunLoop& mainLoop, Send send, Failed failed);
  ~BluezDiscovery();
  BluezDiscovery(const BluezDiscovery&) = delete;
  BluezDiscovery& operator=(const BluezDiscovery&) = delete;

  // What the manager wants now of the adapter at `adapter`.
  void want(const std::string& adapter, bool active, bool duplicates);
  // BlueZ ended the session itself (the adapter went off or away, BlueZ restarted): replies
  // still to come change nothing, and nothing is running.
  void reset();

 private:
  enum class Phase { idle, started };

  void advance();
  void start(int attempt);
  void filterRunning(bool duplicates);
  void stop();
  BusCall filterCall(bool duplicates) const;
  // A reply handler that runs only if no reset() came in between.
  BusReply current(std::function<void(const std::optional<BusError>&)> handle);

  RunLoop& mainLoop_;
  Send send_;
  Failed failed_;
  std::string adapter_;
  bool wantActive_ = false;
  bool wantDuplicates_ = false;
  Phase phase_ = Phase::idle;
  bool duplicatesInForce_ = false;
  bool inFlight_ = false;
  std::uint64_t generation_ = 0;
  std::optional<TimerHandle> retry_;
};

}  // namespace orvix::platform::linux_bluetooth
