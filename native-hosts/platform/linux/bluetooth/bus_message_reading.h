#pragma once

// Reading BlueZ's messages off the bus into plain values. Every message is outside input:
// strings, lists and byte arrays beyond the bounds below are dropped with their property, and
// anything malformed fails the whole message (a negative errno), which the caller then ignores.

#include <systemd/sd-bus.h>

#include <cstddef>
#include <string>
#include <vector>

#include "platform/linux/bluetooth/bluez_values.h"

namespace orvix::platform::linux_bluetooth {

// A device name is at most 248 bytes and a UUID 36; anything longer is not BlueZ's.
inline constexpr std::size_t kMaximumStringBytes = 1024;
// An attribute value is at most 512 bytes; advertising data far less.
inline constexpr std::size_t kMaximumByteArray = 4096;
inline constexpr std::size_t kMaximumListEntries = 256;
inline constexpr std::size_t kMaximumProperties = 128;
inline constexpr std::size_t kMaximumInterfaces = 32;
inline constexpr std::size_t kMaximumObjects = 8192;

// a{sv}
int readProperties(sd_bus_message* message, PropertyMap& properties);
// a{sa{sv}}
int readInterfaces(sd_bus_message* message, InterfaceMap& interfaces);
// a{oa{sa{sv}}}, the answer of ObjectManager.GetManagedObjects
int readObjects(sd_bus_message* message, ObjectMap& objects);
// as
int readStrings(sd_bus_message* message, std::vector<std::string>& strings);

}  // namespace orvix::platform::linux_bluetooth
