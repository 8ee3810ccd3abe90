#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/bluetooth.h"

namespace orvix::ble_host {

// How a discovered device is described to the desktop application, which picks the recorder
// among everything in range by these hints.

// The name with every run of Unicode white space (line breaks included) turned into one space
// and none at either end, cut to 128 user-perceived characters. Absent when nothing is left.
std::optional<std::string> normalizedName(const std::optional<std::string>& name);

// True when the name contains the product word in any letter case, or begins with "k7" (the
// recorder's model prefix).
bool hasOrvixNameHint(const std::optional<std::string>& name);

// True when the advertisement lists the recorder's service, in its service list or its
// overflow list.
bool advertisedServiceHint(const platform::AdvertisementData& advertisement);

// Advertised signal strength, clamped to what the wire reports (-127 ... 20 dBm).
int clampedRssi(int rssi);
// The clamped value rounded to the nearest multiple of 5 (halves away from zero), so jitter
// within one bucket does not make a device reported again.
int rssiBucket(int clamped);

// What a report is compared with to suppress repeats.
std::string advertisementSignature(const std::optional<std::string>& name, int bucket,
                                   bool serviceHint);
std::string recoveredSignature(const std::optional<std::string>& name);

}  // namespace orvix::ble_host
