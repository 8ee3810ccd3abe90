#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "OrvixBleHost/command_checks.h"
#include "OrvixBleHost/wire_codes.h"
#include "common/json_wire.h"
#include "common/time/run_loop.h"
#include "common/uuid.h"
#include "platform/bluetooth.h"

namespace orvix::ble_host {

// What a scan reads from, and reports through, the host that owns it.
class ScanContext {
 public:
  virtual ~ScanContext() = default;
  // The central manager as it is now: absent before the permission, and replaced when it went
  // stale, so a scan never keeps one of its own.
  virtual platform::CentralManager* central() const = 0;
  // True while a peripheral is current: a scan started then waits for the connection's end.
  virtual bool linkBusy() const = 0;
  // "adapter.state" "unauthorized": a scan was asked for while no central manager exists.
  virtual void reportUnauthorized() = 0;
  // One event, as the host writes it; false when it was dropped.
  virtual bool emit(std::string_view event, Json fields) = 0;
};

// Scanning and candidates. Every advertising device is reported, not only the recorder, with a
// name hint and a service hint; repeats are suppressed until the name, the 5 dBm signal bucket
// or the service hint changes. A preferred device the system still knows is reported from its
// records at once instead of scanning. A scan asked for while the adapter is off or a link is up
// waits, and every scan that became active ends with exactly one "scan.completed".
//
// Main thread only: commands, the central manager's callbacks and the scan timer (on `mainLoop`).
class CandidateScan {
 public:
  CandidateScan(RunLoop& mainLoop, ScanContext& context);
  ~CandidateScan();
  CandidateScan(const CandidateScan&) = delete;
  CandidateScan& operator=(const CandidateScan&) = delete;

  // "scan.start": ends the active scan, forgets the candidates, and starts or defers the new one.
  void start(const ScanStart& scan);
  // Ends the active scan, if any, with one "scan.completed". The candidates stay.
  void stop(ScanEnd reason);
  // The adapter reports powered-on.
  void adapterPoweredOn();
  // The current connection ended: a scan deferred for it starts now.
  void resumePending();
  // The platform ended the radio scan by itself (the system refused or lost it): the scan the
  // desktop application started ends as cancelled rather than waiting for what cannot come.
  void radioScanEnded();
  void didDiscover(const std::shared_ptr<platform::Peripheral>& peripheral,
                   const platform::AdvertisementData& advertisement, int rssi);

  // A candidate reported since the last "scan.start", by the id the desktop application sent
  // back (either letter case); null when there is none.
  std::shared_ptr<platform::Peripheral> candidate(std::string_view candidateId) const;

  const std::optional<std::string>& activeScanId() const { return activeScanId_; }
  const std::optional<ScanStart>& pendingScan() const { return pendingScan_; }
  std::size_t candidateCount() const { return candidates_.size(); }

 private:
  void beginPoweredOnScan(ScanStart scan);
  bool emitPreferredCandidateIfAvailable(const std::optional<std::string>& preferredCandidateId);
  bool emitCandidate(const Uuid& identifier, const std::optional<std::string>& name,
                     std::optional<int> rssi, bool serviceHint);
  bool poweredOn() const;

  RunLoop& mainLoop_;
  ScanContext& context_;
  std::map<Uuid, std::shared_ptr<platform::Peripheral>> candidates_;
  std::map<Uuid, std::string> candidateSignatures_;
  std::optional<std::string> activeScanId_;
  // A scan waiting for the adapter to come on or for the current connection to end.
  std::optional<ScanStart> pendingScan_;
  std::optional<std::string> waitingScanCandidateId_;
  std::optional<TimerHandle> scanTimer_;
  // While the active scan is a radio scan: whether it takes duplicate advertisements.
  std::optional<bool> radioScanAllowsDuplicates_;
};

}  // namespace orvix::ble_host
