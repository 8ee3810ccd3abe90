// The permission and the adapter: the host creates its central manager only once the user has
// allowed Bluetooth or the desktop application asks for the prompt, because creating one is what
// makes the system ask.
#include "OrvixBleHost/ble_host.h"

namespace orvix::ble_host {

namespace {

using platform::BluetoothAuthorization;
using platform::CentralState;

std::string_view stateName(CentralState state) {
  switch (state) {
    case CentralState::resetting:
      return "resetting";
    case CentralState::unsupported:
      return "unsupported";
    case CentralState::unauthorized:
      return "unauthorized";
    case CentralState::poweredOff:
      return "powered-off";
    case CentralState::poweredOn:
      return "powered-on";
    case CentralState::unknown:
      break;
  }
  return "unknown";
}

}  // namespace

std::string_view BleHost::authorizationName() const {
  switch (bluetooth_.authorization()) {
    case BluetoothAuthorization::notDetermined:
      return "not-determined";
    case BluetoothAuthorization::denied:
      return "denied";
    case BluetoothAuthorization::allowedAlways:
      return "allowed";
    case BluetoothAuthorization::restricted:
      break;
  }
  return "restricted";
}

void BleHost::emitAdapterState(CentralState state) {
  emit("adapter.state", {{"state", stateName(state)}, {"authorization", authorizationName()}});
}

void BleHost::refreshPermission(bool requestAuthorization) {
  const auto authorization = bluetooth_.authorization();
  const bool allowed =
      authorization == BluetoothAuthorization::allowedAlways ||
      (requestAuthorization && authorization == BluetoothAuthorization::notDetermined);
  if (!allowed) return emitAdapterState(CentralState::unauthorized);

  // A manager created before the user granted access keeps reporting the old refusal; replace
  // it, unless a connection still runs through it.
  if (authorization == BluetoothAuthorization::allowedAlways && central_ &&
      central_->state() == CentralState::unauthorized && !peripheral_) {
    central_->setDelegate(nullptr);
    central_.reset();
  }
  if (central_) return centralManagerDidUpdateState(*central_);
  central_ = bluetooth_.makeCentralManager(*this);
}

void BleHost::centralManagerDidUpdateState(platform::CentralManager& manager) {
  if (!isCentral(manager)) return;
  const CentralState state = manager.state();
  emitAdapterState(state);
  if (state == CentralState::poweredOn) return scan_.adapterPoweredOn();
  if (peripheral_) {
    disconnectReason_ = DisconnectReason::adapterUnavailable;
    reconnectableDisconnect_ = true;
    finishCurrentDisconnect(DisconnectReason::adapterUnavailable, true);
  }
}

}  // namespace orvix::ble_host
