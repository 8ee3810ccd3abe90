#include "OrvixBleHost/scanning.h"

#include <algorithm>
#include <cctype>

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

CandidateScan::CandidateScan(RunLoop& mainLoop, ScanContext& context)
    : mainLoop_(mainLoop), context_(context) {}

CandidateScan::~CandidateScan() {
  // The timer holds this object only as long as it lives.
  if (scanTimer_) scanTimer_->cancel();
}

bool CandidateScan::poweredOn() const {
  const auto* central = context_.central();
  return central && central->state() == platform::CentralState::poweredOn;
}

void CandidateScan::start(const ScanStart& scan) {
  stop(ScanEnd::cancelled);
  candidates_.clear();
  candidateSignatures_.clear();
  if (!context_.central()) {
    context_.reportUnauthorized();
    context_.emit("scan.completed",
                  {{"scanId", scan.scanId}, {"reason", wireName(ScanEnd::cancelled)}});
    return;
  }
  activeScanId_ = scan.scanId;
  if (poweredOn()) {
    if (!context_.linkBusy()) {
      beginPoweredOnScan(scan);
    } else {
      pendingScan_ = scan;  // starts once the current connection has ended
    }
    return;
  }
  pendingScan_ = scan;
  context_.emit("host.error", {{"scope", wireName(ErrorScope::adapter)},
                               {"code", wireCode(HostError::adapterNotPoweredOn)}});
}

void CandidateScan::beginPoweredOnScan(ScanStart scan) {
  pendingScan_.reset();
  const bool waitForAvailability = scan.waitForAvailability;
  waitingScanCandidateId_ =
      waitForAvailability ? scan.preferredCandidateId : std::optional<std::string>();
  if (emitPreferredCandidateIfAvailable(scan.preferredCandidateId)) return;
  auto* central = context_.central();
  if (!central) return;
  // Duplicates show signal changes while reporting everything; a scan that waits for one device
  // only needs to see it once.
  central->scanForPeripherals(!waitForAvailability);
  radioScanAllowsDuplicates_ = !waitForAvailability;
  if (waitForAvailability) return;  // waiting has no time limit
  if (scanTimer_) scanTimer_->cancel();
  scanTimer_ = mainLoop_.scheduleAfter(scan.timeout, [this] { stop(ScanEnd::timeout); });
}

bool CandidateScan::emitPreferredCandidateIfAvailable(
    const std::optional<std::string>& preferredCandidateId) {
  if (!poweredOn() || !activeScanId_ || !preferredCandidateId) return false;
  const auto preferred = parseUuid(*preferredCandidateId);
  if (!preferred) return false;

  auto* central = context_.central();
  std::shared_ptr<platform::Peripheral> connectedMatch;
  for (const auto& candidate : central->retrieveConnectedPeripherals({serviceUUID})) {
    if (candidate && candidate->identifier() == *preferred) {
      connectedMatch = candidate;
      break;
    }
  }
  std::shared_ptr<platform::Peripheral> peripheral = connectedMatch;
  if (!peripheral) {
    const auto known = central->retrievePeripherals({*preferred});
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

void CandidateScan::didDiscover(const std::shared_ptr<platform::Peripheral>& peripheral,
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

bool CandidateScan::emitCandidate(const Uuid& identifier, const std::optional<std::string>& name,
                                  std::optional<int> rssi, bool serviceHint) {
  Json fields = {{"scanId", *activeScanId_},
                 {"candidateId", uuidText(identifier, LetterCase::upper)},
                 {"orvixNameHint", hasOrvixNameHint(name)},
                 {"serviceAdvertisedHint", serviceHint}};
  if (rssi) fields["rssi"] = *rssi;
  if (name) fields["nameHint"] = *name;
  return context_.emit("candidate.discovered", std::move(fields));
}

void CandidateScan::stop(ScanEnd reason) {
  auto* central = context_.central();
  if (central && central->isScanning()) central->stopScan();
  if (scanTimer_) {
    scanTimer_->cancel();
    scanTimer_.reset();
  }
  pendingScan_.reset();
  waitingScanCandidateId_.reset();
  radioScanAllowsDuplicates_.reset();
  if (activeScanId_) {
    context_.emit("scan.completed", {{"scanId", *activeScanId_}, {"reason", wireName(reason)}});
  }
  activeScanId_.reset();
}

void CandidateScan::adapterPoweredOn() {
  if (pendingScan_) {
    // A scan deferred for a link that is still up waits for that link's end, however often the
    // adapter reports that it is on.
    if (pendingScan_->scanId == activeScanId_) {
      resumePending();
    } else {
      pendingScan_.reset();
    }
    return;
  }
  // The platform ends a radio scan when the adapter goes off; the scan the desktop application
  // started is still active, so its radio scan starts again now that the adapter is back.
  auto* central = context_.central();
  if (!central || !activeScanId_ || !radioScanAllowsDuplicates_ || central->isScanning()) return;
  central->scanForPeripherals(*radioScanAllowsDuplicates_);
}

void CandidateScan::radioScanEnded() {
  if (activeScanId_ && radioScanAllowsDuplicates_) stop(ScanEnd::cancelled);
}

void CandidateScan::resumePending() {
  if (!poweredOn() || context_.linkBusy() || !pendingScan_ ||
      pendingScan_->scanId != activeScanId_) {
    return;
  }
  beginPoweredOnScan(*pendingScan_);  // a copy: starting clears the deferred scan
}

std::shared_ptr<platform::Peripheral> CandidateScan::candidate(std::string_view candidateId) const {
  const auto identifier = parseUuid(candidateId);
  if (!identifier) return nullptr;
  const auto found = candidates_.find(*identifier);
  return found == candidates_.end() ? nullptr : found->second;
}

}  // namespace orvix::ble_host
