#include "platform/linux/bluetooth/bluez_mapping.h"

#include <uuid/uuid.h>

#include <algorithm>
#include <array>
#include <utility>

namespace orvix::platform::linux_bluetooth {

namespace {

// The namespace of the binding's name-based peripheral identifiers.
constexpr BluetoothUuid kIdentifierNamespace = {0x4f, 0x72, 0x76, 0x69, 0x78, 0x42, 0x4c, 0x45,
                                                0x8a, 0x61, 0x0d, 0x3e, 0x51, 0x7b, 0x2c, 0x09};

std::string upper(std::string_view text) {
  std::string result(text);
  for (auto& c : result) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return result;
}

}  // namespace

CentralState adapterState(const PropertyMap* adapter) {
  if (adapter == nullptr) return CentralState::unsupported;
  if (const auto* power = property<std::string>(*adapter, "PowerState")) {
    if (*power == "on") return CentralState::poweredOn;
    if (*power == "off-enabling" || *power == "on-disabling") return CentralState::resetting;
    return CentralState::poweredOff;
  }
  const auto* powered = property<bool>(*adapter, "Powered");
  return powered && *powered ? CentralState::poweredOn : CentralState::poweredOff;
}

bool isAccessDenied(const BusError& error) {
  return error.name == "org.freedesktop.DBus.Error.AccessDenied";
}

bool isLastingConnectFailure(const BusError& error) {
  static constexpr std::array<std::string_view, 9> kLasting = {
      "org.bluez.Error.NotReady",
      "org.bluez.Error.NotSupported",
      "org.bluez.Error.NotAuthorized",
      "org.bluez.Error.InvalidArguments",
      "org.bluez.Error.AuthenticationFailed",
      "org.bluez.Error.AuthenticationRejected",
      "org.bluez.Error.AuthenticationCanceled",
      "org.freedesktop.DBus.Error.AccessDenied",
      "org.freedesktop.DBus.Error.Disconnected",
  };
  return std::find(kLasting.begin(), kLasting.end(), error.name) != kLasting.end();
}

bool isWriteAcquired(const BusError& error) {
  return error.name == "org.bluez.Error.NotPermitted" && error.message == "Write acquired";
}

bool isSessionAlreadyOn(const BusError& error) {
  return error.name == "org.bluez.Error.InProgress" ||
         (error.name == "org.bluez.Error.Failed" && error.message == "Already notifying");
}

BluetoothError bluetoothError(const BusError& error) {
  // ATT error codes where BlueZ's error names one.
  static constexpr std::array<std::pair<std::string_view, int>, 5> kAttCodes = {{
      {"org.bluez.Error.NotPermitted", 0x03},
      {"org.bluez.Error.InvalidOffset", 0x07},
      {"org.bluez.Error.NotAuthorized", 0x08},
      {"org.bluez.Error.InvalidValueLength", 0x0d},
      {"org.bluez.Error.NotSupported", 0x06},
  }};
  int code = 0;
  for (const auto& [name, att] : kAttCodes) {
    if (error.name == name) code = att;
  }
  return BluetoothError{code, error.message.empty() ? error.name : error.name + ": " + error.message};
}

std::uint32_t characteristicProperties(const std::vector<std::string>& flags) {
  static constexpr std::array<std::pair<std::string_view, std::uint32_t>, 8> kBits = {{
      {"broadcast", 0x01},
      {"read", 0x02},
      {"write-without-response", 0x04},
      {"write", 0x08},
      {"notify", 0x10},
      {"indicate", 0x20},
      {"authenticated-signed-writes", 0x40},
      {"extended-properties", 0x80},
  }};
  std::uint32_t bits = 0;
  for (const auto& flag : flags) {
    for (const auto& [name, bit] : kBits) {
      if (flag == name) bits |= bit;
    }
  }
  return bits;
}

BluetoothUuid peripheralIdentifier(std::string_view adapterAddress,
                                   std::string_view deviceAddress) {
  const std::string name = upper(adapterAddress) + "/" + upper(deviceAddress);
  uuid_t space;
  std::copy(kIdentifierNamespace.begin(), kIdentifierNamespace.end(), space);
  uuid_t made;
  uuid_generate_sha1(made, space, name.data(), name.size());
  BluetoothUuid identifier{};
  std::copy(std::begin(made), std::end(made), identifier.begin());
  return identifier;
}

std::optional<std::string> cachedName(const PropertyMap& device) {
  const auto* alias = property<std::string>(device, "Alias");
  const auto* address = property<std::string>(device, "Address");
  if (alias && !alias->empty()) {
    std::string stand_in = address ? *address : "";
    std::replace(stand_in.begin(), stand_in.end(), ':', '-');
    if (upper(*alias) != upper(stand_in)) return *alias;
  }
  if (const auto* name = property<std::string>(device, "Name"); name && !name->empty()) {
    return *name;
  }
  return std::nullopt;
}

AdvertisementData advertisementOf(const PropertyMap& device) {
  AdvertisementData advertisement;
  if (const auto* name = property<std::string>(device, "Name")) advertisement.localName = *name;
  if (const auto* uuids = property<std::vector<std::string>>(device, "UUIDs")) {
    std::vector<BluetoothUuid> parsed;
    for (const auto& text : *uuids) {
      if (auto uuid = parseUuid(text)) parsed.push_back(*uuid);
    }
    advertisement.serviceUuids = std::move(parsed);
  }
  return advertisement;
}

bool isAdvertisementChange(const PropertyMap& changed) {
  for (const char* key : {"RSSI", "Name", "UUIDs", "TxPower", "ManufacturerData", "ServiceData",
                          "AdvertisingData"}) {
    if (changed.contains(key)) return true;
  }
  return false;
}

std::size_t writeWithoutResponseLength(std::optional<std::int64_t> mtu) {
  const std::int64_t att = mtu && *mtu >= 23 && *mtu <= 517 ? *mtu : 23;
  return static_cast<std::size_t>(att - 3);
}

}  // namespace orvix::platform::linux_bluetooth
