// Scanning and candidates. Every advertising device is reported, not only the recorder, with a
// name hint and a service hint; repeats are suppressed until the name, the 5 dBm signal bucket
// or the service hint changes. A preferred device the system still knows is reported from its
// records at once instead of scanning.
#include <algorithm>
#include <cctype>

#include "OrvixBleHost/ble_host.h"
#include "OrvixBleHost/ble_host_constants.h"
#include "OrvixBleHost/candidate_report.h"

namespace orvix::ble_host {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

}  // namespace

void BleHost::startScan(const ScanStart& scan) {
  stopScan(ScanEnd::cancelled);
  candidates_.clear();
  candidateSignatures_.clear();
  if (!central_) {
    emitAdapterState(platform::CentralState::unauthorized);
    emit("scan.completed", {{"scanId", scan.scanId}, {"reason", wireName(ScanEnd::cancelled)}});
    return;
  }
  activeScanId_ = scan.scanId;
  if (central_->state() == platform::CentralState::poweredOn) {
    if (!peripheral_) {
      beginPoweredOnScan(scan);
    } else {
      pendingScan_ = scan;  // starts once the current connection has ended
    }
    return;
  }
  pendingScan_ = scan;
  emitHostError(ErrorScope::adapter, HostError::adapterNotPoweredOn);
}

void BleHost::beginPoweredOnScan(ScanStart scan) {
  const auto& preferredCandidateId = scan.preferredCandidateId;
  const bool waitForAvailability = scan.waitForAvailability;
  pendingScan_.reset();
  waitingScanCandidateId_ =
      waitForAvailability ? preferredCandidateId : std::optional<std::string>();
  if (emitPreferredCandidateIfAvailable(preferredCandidateId)) return;
  if (!central_) return;
  // Duplicates show signal changes while reporting everything; a scan that waits for one device
  // only needs to see it once.
  central_->scanForPeripherals(!waitForAvailability);
  radioScanAllowsDuplicates_ = !waitForAvailability;
  if (waitForAvailability) return;  // waiting has no time limit
  if (scanTimer_) scanTimer_->cancel();
  scanTimer_ = mainLoop_.scheduleAfter(scan.timeout, [this] { stopScan(ScanEnd::timeout); });
}

bool BleHost::emitPreferredCandidateIfAvailable(
    const std::optional<std::string>& preferredCandidateId) {
  if (!central_ || central_->state() != platform::CentralState::poweredOn || !activeScanId_ ||
      !preferredCandidateId) {
    return false;
  }
  const auto preferred = parseUuid(*preferredCandidateId);
  if (!preferred) return false;

  std::shared_ptr<platform::Peripheral> connectedMatch;
  for (const auto& candidate : central_->retrieveConnectedPeripherals({serviceUUID})) {
    if (candidate && candidate->identifier() == *preferred) {
      connectedMatch = candidate;
      break;
    }
  }
  std::shared_ptr<platform::Peripheral> peripheral = connectedMatch;
  if (!peripheral) {
    const auto known = central_->retrievePeripherals({*preferred});
    if (!known.empty()) peripheral = known.front();
  }
  if (!peripheral) return false;

  const Uuid identifier = peripheral->identifier();
  candidates_[identifier] = peripheral;
  const auto name = normalizedName(peripheral->name());
  if (emitCandidate(identifier, name, std::nullopt, connectedMatch != nullptr)) {
    candidateSignatures_[identifier] = recoveredSignature(name);
  }
  return true;
}

void BleHost::didDiscover(platform::CentralManager& /*central*/,
                          const std::shared_ptr<platform::Peripheral>& peripheral,
                          const platform::AdvertisementData& advertisement, int rssi) {
  if (!activeScanId_ || !peripheral) return;
  const Uuid identifier = peripheral->identifier();
  if (waitingScanCandidateId_ &&
      !equalsIgnoringCase(*waitingScanCandidateId_, uuidText(identifier, LetterCase::upper))) {
    return;  // waiting for another device: not even remembered
  }
  candidates_[identifier] = peripheral;

  auto name = normalizedName(advertisement.localName);
  if (!name) name = normalizedName(peripheral->name());
  const bool serviceHint = advertisedServiceHint(advertisement);
  const int clamped = clampedRssi(rssi);
  std::string signature = advertisementSignature(name, rssiBucket(clamped), serviceHint);
  // Remembered only once reported, so a report that could not be written is tried again.
  const auto stored = candidateSignatures_.find(identifier);
  if (stored != candidateSignatures_.end() && stored->second == signature) return;
  if (emitCandidate(identifier, name, clamped, serviceHint)) {
    candidateSignatures_[identifier] = std::move(signature);
  }
}

bool BleHost::emitCandidate(const Uuid& identifier, const std::optional<std::string>& name,
                            std::optional<int> rssi, bool serviceHint) {
  Json fields = {{"scanId", *activeScanId_},
                 {"candidateId", uuidText(identifier, LetterCase::upper)},
                 {"orvixNameHint", hasOrvixNameHint(name)},
                 {"serviceAdvertisedHint", serviceHint}};
  if (rssi) fields["rssi"] = *rssi;
  if (name) fields["nameHint"] = *name;
  return emit("candidate.discovered", std::move(fields));
}

void BleHost::stopScan(ScanEnd reason) {
  if (central_ && central_->isScanning()) central_->stopScan();
  if (scanTimer_) {
    scanTimer_->cancel();
    scanTimer_.reset();
  }
  pendingScan_.reset();
  waitingScanCandidateId_.reset();
  radioScanAllowsDuplicates_.reset();
  if (activeScanId_)
    emit("scan.completed", {{"scanId", *activeScanId_}, {"reason", wireName(reason)}});
  activeScanId_.reset();
}

void BleHost::resumePendingScanIfPossible() {
  if (!central_ || central_->state() != platform::CentralState::poweredOn || peripheral_ ||
      !pendingScan_ || pendingScan_->scanId != activeScanId_) {
    return;
  }
  beginPoweredOnScan(*pendingScan_);  // a copy: starting clears the deferred scan
}

void BleHost::resumeInterruptedRadioScan() {
  if (!central_ || !activeScanId_ || !radioScanAllowsDuplicates_ || central_->isScanning()) return;
  central_->scanForPeripherals(*radioScanAllowsDuplicates_);
}

}  // namespace orvix::ble_host
