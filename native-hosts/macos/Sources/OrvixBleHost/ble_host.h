#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "OrvixBleHost/command_checks.h"
#include "OrvixBleHost/event_queue.h"
#include "common/json_wire.h"
#include "common/time/run_loop.h"
#include "common/uuid.h"
#include "platform/bluetooth.h"

namespace orvix::ble_host {

// A scan waiting for the adapter to come on or for the current connection to end.
struct PendingScan {
  std::string id;
  std::int64_t timeoutMs = 0;
  std::optional<std::string> preferredCandidateId;
  bool waitForAvailability = false;
};

// The Bluetooth host: the process's one state object and the delegate of its central manager.
// Everything here runs on the main thread: commands are posted to it by the input reader, and
// the platform delivers its callbacks and the host's timers on the same loop, so no field needs
// a lock. Events leave as compact JSON lines with sorted keys through the event queue.
class BleHost final : public platform::CentralManagerDelegate {
 public:
  // `exitProcess` ends the process with the given status; it does not return in the program.
  BleHost(platform::Bluetooth& bluetooth, RunLoop& mainLoop, EventQueue& output,
          std::function<void(int)> exitProcess);
  ~BleHost() override;
  BleHost(const BleHost&) = delete;
  BleHost& operator=(const BleHost&) = delete;

  // "host.ready", then the permission as it stands (never prompting).
  void start();
  // One command line, without its line terminator, already decoded as UTF-8.
  void handle(std::string_view line);
  // A line too long to be held: answered like any other invalid line.
  void handleOverlongLine();
  // Ends the scan, cancels the link, writes what is queued (for at most half a second), exits 0.
  void shutdown(std::string_view requestId);

  // Central manager callbacks.
  void centralManagerDidUpdateState(platform::CentralManager& central) override;
  void didDiscover(platform::CentralManager& central,
                   const std::shared_ptr<platform::Peripheral>& peripheral,
                   const platform::AdvertisementData& advertisement, int rssi) override;
  void didConnect(platform::CentralManager& central,
                  const std::shared_ptr<platform::Peripheral>& peripheral) override;
  void didFailToConnect(platform::CentralManager& central,
                        const std::shared_ptr<platform::Peripheral>& peripheral,
                        const std::optional<platform::BluetoothError>& error) override;
  void didDisconnect(platform::CentralManager& central,
                     const std::shared_ptr<platform::Peripheral>& peripheral,
                     const std::optional<platform::BluetoothError>& error) override;

  // What tests look at.
  bool hasCentral() const { return central_ != nullptr; }
  const std::optional<std::string>& activeScanId() const { return activeScanId_; }
  const std::optional<PendingScan>& pendingScan() const { return pendingScan_; }
  std::size_t candidateCount() const { return candidates_.size(); }

 private:
  // --- Wire --------------------------------------------------------------------------------
  void emit(std::string_view event, Json fields);
  void emitCommandError(const std::string& requestId, std::string_view code);
  void emitInvalidCommand();
  void dispatch(const Json& command, const std::string& name, const std::string& requestId);

  // --- Adapter state and permission -----------------------------------------------------
  void refreshPermission(bool requestAuthorization);
  void emitAdapterState(std::string_view state);
  std::string_view authorizationName() const;

  // --- Scanning and candidates ----------------------------------------------------------
  void startScan(const ScanStart& scan);
  void stopScan(std::string_view reason);
  void beginPoweredOnScan(std::int64_t timeoutMs,
                          const std::optional<std::string>& preferredCandidateId,
                          bool waitForAvailability);
  bool emitPreferredCandidateIfAvailable(const std::optional<std::string>& preferredCandidateId);
  void resumePendingScanIfPossible();
  // The platform ends a radio scan when the adapter goes off; the scan the desktop application
  // started is still active, so its radio scan starts again when the adapter is back.
  void resumeInterruptedRadioScan();
  void emitCandidate(const Uuid& identifier, const std::optional<std::string>& name,
                     std::optional<int> rssi, bool serviceHint);

  // --- Connection (its first checks; the link itself comes later) ----------------------
  void connect(const Connect& request, const std::string& requestId);
  void disconnect(const std::string& requestId, const Json& command);
  void configureNotifications(const NotificationPolicy& policy);
  void write(const Json& command, const std::string& requestId);
  void finishCurrentDisconnect(const std::optional<std::string>& reason,
                               std::optional<bool> reconnectable);
  bool isCentral(const platform::CentralManager& central) const {
    return &central == central_.get();
  }

  platform::Bluetooth& bluetooth_;
  RunLoop& mainLoop_;
  EventQueue& output_;
  std::function<void(int)> exitProcess_;

  std::shared_ptr<platform::CentralManager> central_;
  std::map<Uuid, std::shared_ptr<platform::Peripheral>> candidates_;
  std::map<Uuid, std::string> candidateSignatures_;
  std::optional<std::string> activeScanId_;
  std::optional<PendingScan> pendingScan_;
  std::optional<std::string> waitingScanCandidateId_;
  std::optional<TimerHandle> scanTimer_;
  // While the active scan is a radio scan: whether it takes duplicate advertisements.
  std::optional<bool> radioScanAllowsDuplicates_;

  std::shared_ptr<platform::Peripheral> peripheral_;
  std::optional<std::string> connectionId_;
  std::optional<std::string> candidateId_;
  std::string disconnectReason_ = "unknown";
  bool reconnectableDisconnect_ = true;
  bool gattReadyEmitted_ = false;
  double streamNotificationDelaySeconds_;
};

}  // namespace orvix::ble_host
