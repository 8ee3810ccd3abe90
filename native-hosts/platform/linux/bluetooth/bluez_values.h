#pragma once

// What the binding keeps of BlueZ's objects: the properties of the types it reads, decoded once
// on the bus thread into plain values that can be handed to the main loop.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace orvix::platform::linux_bluetooth {

// Booleans, every integer width (as int64), strings and object paths, string and path lists,
// byte arrays. A property of another type (a dictionary such as "ManufacturerData") is kept as
// std::monostate: its content is skipped, but a change of it is still seen.
using PropertyValue = std::variant<std::monostate, bool, std::int64_t, std::string,
                                   std::vector<std::string>, std::vector<std::uint8_t>>;
using PropertyMap = std::map<std::string, PropertyValue, std::less<>>;
// Interface name → its properties.
using InterfaceMap = std::map<std::string, PropertyMap, std::less<>>;
// Object path → its interfaces.
using ObjectMap = std::map<std::string, InterfaceMap, std::less<>>;

// A D-Bus error reply (or a local failure named the way D-Bus names it).
struct BusError {
  std::string name;
  std::string message;
};

// The property `name` when present with type T.
template <typename T>
const T* property(const PropertyMap& properties, std::string_view name) {
  auto found = properties.find(name);
  return found == properties.end() ? nullptr : std::get_if<T>(&found->second);
}

inline constexpr std::string_view kBluezService = "org.bluez";
inline constexpr std::string_view kAdapterInterface = "org.bluez.Adapter1";
inline constexpr std::string_view kDeviceInterface = "org.bluez.Device1";
inline constexpr std::string_view kServiceInterface = "org.bluez.GattService1";
inline constexpr std::string_view kCharacteristicInterface = "org.bluez.GattCharacteristic1";

}  // namespace orvix::platform::linux_bluetooth
