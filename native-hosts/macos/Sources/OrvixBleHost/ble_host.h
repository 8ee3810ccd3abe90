#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "OrvixBleHost/command_checks.h"
#include "OrvixBleHost/event_queue.h"
#include "OrvixBleHost/generation_timer.h"
#include "OrvixBleHost/notifications.h"
#include "OrvixBleHost/scanning.h"
#include "OrvixBleHost/wire_codes.h"
#include "OrvixBleHost/write_queue.h"
#include "common/json_wire.h"
#include "common/time/run_loop.h"
#include "common/uuid.h"
#include "platform/bluetooth.h"

namespace orvix::ble_host {

// The Bluetooth host: the process's one state object and the delegate of its central manager.
// It owns the permission, the connection and its GATT setup itself, and hands scanning, writes
// and notifications to the units that keep their state (CandidateScan, WriteQueue,
// NotificationBatcher). Everything here runs on the main thread: commands are posted to it by
// the input reader, and the platform delivers its callbacks and the host's timers (its units'
// included) on the same loop, so no field needs a lock. Events leave as compact JSON lines with
// sorted keys through the event queue.
class BleHost final : public platform::CentralManagerDelegate,
                      public platform::PeripheralDelegate,
                      private ScanContext {
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
  void didEndScan(platform::CentralManager& central,
                  const platform::BluetoothError& error) override;

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
  const std::optional<std::string>& activeScanId() const { return scan_.activeScanId(); }
  const std::optional<ScanStart>& pendingScan() const { return scan_.pendingScan(); }
  std::size_t candidateCount() const { return scan_.candidateCount(); }

 private:
  // --- Wire --------------------------------------------------------------------------------
  // False when the event could not be written as JSON and was dropped.
  bool emit(std::string_view event, Json fields) override;
  EmitEvent emitter() {
    return [this](std::string_view event, Json fields) { return emit(event, std::move(fields)); };
  }
  void emitCommandError(const std::string& requestId, HostError code);
  // A "host.error" that answers no particular command.
  void emitHostError(ErrorScope scope, HostError code);
  void emitInvalidCommand();
  void dispatch(const Json& command, const std::string& name, const std::string& requestId);

  // --- Adapter state and permission -----------------------------------------------------
  void refreshPermission(bool requestAuthorization);
  void emitAdapterState(platform::CentralState state);
  std::string_view authorizationName() const;
  bool isCentral(const platform::CentralManager& central) const {
    return &central == central_.get();
  }

  // --- What the scan reads from the host ------------------------------------------------
  platform::CentralManager* central() const override { return central_.get(); }
  bool linkBusy() const override { return peripheral_ != nullptr; }
  void reportUnauthorized() override { emitAdapterState(platform::CentralState::unauthorized); }

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
  // Where the write queue sends its next piece.
  WriteLink writeLink() const { return {peripheral_, rxCharacteristic_}; }
  void beginConnectionAttemptTimeout();
  void beginGattSetup();
  void beginDisconnectFallback();
  void subscribeNextRequiredCharacteristic();
  void emitGattReadyIfComplete();

  // --- Notifications --------------------------------------------------------------------
  void configureNotifications(const NotificationPolicy& policy);

  platform::Bluetooth& bluetooth_;
  RunLoop& mainLoop_;
  EventQueue& output_;
  std::function<void(int)> exitProcess_;

  std::shared_ptr<platform::CentralManager> central_;
  CandidateScan scan_;

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

  WriteQueue writes_;
  NotificationBatcher notifications_;
};

}  // namespace orvix::ble_host
