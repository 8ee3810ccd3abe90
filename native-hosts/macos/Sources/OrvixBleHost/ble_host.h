#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "OrvixBleHost/command_checks.h"
#include "OrvixBleHost/event_queue.h"
#include "OrvixBleHost/generation_timer.h"
#include "OrvixBleHost/wire_codes.h"
#include "common/json_wire.h"
#include "common/time/run_loop.h"
#include "common/uuid.h"
#include "platform/bluetooth.h"

namespace orvix::ble_host {

// The Bluetooth host: the process's one state object and the delegate of its central manager.
// Everything here runs on the main thread: commands are posted to it by the input reader, and
// the platform delivers its callbacks and the host's timers on the same loop, so no field needs
// a lock. Events leave as compact JSON lines with sorted keys through the event queue.
class BleHost final : public platform::CentralManagerDelegate, public platform::PeripheralDelegate {
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

  // Peripheral callbacks.
  void didDiscoverServices(platform::Peripheral& peripheral,
                           const std::optional<platform::BluetoothError>& error) override;
  void didDiscoverCharacteristics(platform::Peripheral& peripheral, platform::Service& service,
                                  const std::optional<platform::BluetoothError>& error) override;
  void didUpdateNotificationState(platform::Peripheral& peripheral,
                                  platform::Characteristic& characteristic,
                                  const std::optional<platform::BluetoothError>& error) override;
  void didUpdateValue(platform::Peripheral& peripheral, platform::Characteristic& characteristic,
                      std::span<const std::uint8_t> value,
                      const std::optional<platform::BluetoothError>& error) override;
  void didWriteValue(platform::Peripheral& peripheral, platform::Characteristic& characteristic,
                     const std::optional<platform::BluetoothError>& error) override;
  void isReadyToSendWriteWithoutResponse(platform::Peripheral& peripheral) override;

  // What tests look at.
  bool hasPeripheral() const { return peripheral_ != nullptr; }
  bool disconnectionInProgress() const { return disconnectFallbackTimer_.active(); }
  bool hasCentral() const { return central_ != nullptr; }
  const std::optional<std::string>& activeScanId() const { return activeScanId_; }
  const std::optional<ScanStart>& pendingScan() const { return pendingScan_; }
  std::size_t candidateCount() const { return candidates_.size(); }

 private:
  // --- Wire --------------------------------------------------------------------------------
  // False when the event could not be written as JSON and was dropped.
  bool emit(std::string_view event, Json fields);
  void emitCommandError(const std::string& requestId, HostError code);
  // A "host.error" that answers no particular command.
  void emitHostError(ErrorScope scope, HostError code);
  void emitInvalidCommand();
  void dispatch(const Json& command, const std::string& name, const std::string& requestId);

  // --- Adapter state and permission -----------------------------------------------------
  void refreshPermission(bool requestAuthorization);
  void emitAdapterState(platform::CentralState state);
  std::string_view authorizationName() const;

  // --- Scanning and candidates ----------------------------------------------------------
  void startScan(const ScanStart& scan);
  void stopScan(ScanEnd reason);
  void beginPoweredOnScan(ScanStart scan);
  bool emitPreferredCandidateIfAvailable(const std::optional<std::string>& preferredCandidateId);
  void resumePendingScanIfPossible();
  // The platform ends a radio scan when the adapter goes off; the scan the desktop application
  // started is still active, so its radio scan starts again when the adapter is back.
  void resumeInterruptedRadioScan();
  bool emitCandidate(const Uuid& identifier, const std::optional<std::string>& name,
                     std::optional<int> rssi, bool serviceHint);

  // --- Connection and GATT setup -------------------------------------------------------
  void connect(const Connect& request, const std::string& requestId);
  void disconnect(const std::string& requestId, const Json& command);
  void disconnectCurrent();
  void finishCurrentDisconnect(std::optional<DisconnectReason> reason,
                               std::optional<bool> reconnectable);
  void clearGattState();
  void clearConnectionState();
  void failGatt(HostError code);
  bool isCurrentPeripheral(const platform::Peripheral& peripheral) const {
    return peripheral_ && peripheral_->identifier() == peripheral.identifier();
  }
  void beginConnectionAttemptTimeout();
  void beginGattSetup();
  void beginDisconnectFallback();
  void subscribeNextRequiredCharacteristic();
  void emitGattReadyIfComplete();
  bool isCentral(const platform::CentralManager& central) const {
    return &central == central_.get();
  }

  // --- Writes ---------------------------------------------------------------------------
  void write(const Json& command, const std::string& requestId);
  void emitWriteFailed(const std::string& requestId, WriteFailure code);
  void startNextWriteIfPossible();
  void continueActiveWrite();
  void completeActiveWriteAsFailure(WriteFailure code);
  void failAllWrites(WriteFailure code);

  // --- Notifications --------------------------------------------------------------------
  void configureNotifications(const NotificationPolicy& policy);
  void flushStreamNotifications();
  void emitCommandNotification(const std::string& connectionId, std::span<const std::uint8_t> data);
  void addStreamPacket(const std::string& connectionId, std::span<const std::uint8_t> packet);

  platform::Bluetooth& bluetooth_;
  RunLoop& mainLoop_;
  EventQueue& output_;
  std::function<void(int)> exitProcess_;

  std::shared_ptr<platform::CentralManager> central_;
  std::map<Uuid, std::shared_ptr<platform::Peripheral>> candidates_;
  std::map<Uuid, std::string> candidateSignatures_;
  std::optional<std::string> activeScanId_;
  // A scan waiting for the adapter to come on or for the current connection to end.
  std::optional<ScanStart> pendingScan_;
  std::optional<std::string> waitingScanCandidateId_;
  std::optional<TimerHandle> scanTimer_;
  // While the active scan is a radio scan: whether it takes duplicate advertisements.
  std::optional<bool> radioScanAllowsDuplicates_;

  std::shared_ptr<platform::Peripheral> peripheral_;
  std::optional<std::string> connectionId_;
  std::optional<std::string> candidateId_;
  DisconnectReason disconnectReason_ = DisconnectReason::unknown;
  bool reconnectableDisconnect_ = true;
  bool gattReadyEmitted_ = false;
  std::shared_ptr<platform::Characteristic> rxCharacteristic_;
  std::shared_ptr<platform::Characteristic> commandCharacteristic_;
  std::shared_ptr<platform::Characteristic> streamCharacteristic_;
  std::set<Uuid> subscribed_;
  std::vector<std::shared_ptr<platform::Characteristic>> subscriptionQueue_;
  std::optional<Uuid> subscriptionInFlight_;
  GenerationTimer connectionAttemptTimer_;
  GenerationTimer gattSetupTimer_;
  GenerationTimer disconnectFallbackTimer_;

  std::deque<PendingWrite> writeQueue_;
  std::optional<PendingWrite> activeWrite_;

  std::vector<std::vector<std::uint8_t>> streamNotificationPackets_;
  std::size_t streamNotificationBytes_ = 0;
  std::optional<std::string> streamNotificationConnectionId_;
  std::optional<TimerHandle> streamNotificationTimer_;
  Duration streamNotificationDelay_;
};

}  // namespace orvix::ble_host
