#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/time/time_types.h"
#include "common/uuid.h"

namespace orvix::ble_host {

// The wire's fixed values. The desktop application checks them, so they change only with it.
inline constexpr int schemaVersion = 1;
inline constexpr std::string_view hostBuild = "DT-PERF-BATCH.3";

// The recorder's GATT profile.
inline constexpr Uuid serviceUUID = {0x00, 0x11, 0x20, 0xa0, 0x22, 0x33, 0x44, 0x55,
                                     0x66, 0x77, 0x88, 0x99, 0x12, 0x34, 0x56, 0x78};
inline constexpr Uuid rxUUID = {0x00, 0x11, 0x20, 0xa2, 0x22, 0x33, 0x44, 0x55,
                                0x66, 0x77, 0x88, 0x99, 0x12, 0x34, 0x56, 0x78};
inline constexpr Uuid commandUUID = {0x00, 0x11, 0x20, 0xa3, 0x22, 0x33, 0x44, 0x55,
                                     0x66, 0x77, 0x88, 0x99, 0x12, 0x34, 0x56, 0x78};
inline constexpr Uuid streamUUID = {0x00, 0x11, 0x20, 0xa4, 0x22, 0x33, 0x44, 0x55,
                                    0x66, 0x77, 0x88, 0x99, 0x12, 0x34, 0x56, 0x78};
// How the two notifying characteristics are named on the wire.
inline constexpr std::string_view commandChannel = "command-a3";
inline constexpr std::string_view streamChannel = "stream-a4";

// Bounds of what the desktop application may send.
inline constexpr std::size_t maximumCommandBytes = 65536;
inline constexpr std::size_t maximumIdentifierCharacters = 128;
inline constexpr std::size_t maximumCandidateIdCharacters = 256;
inline constexpr Duration minimumScanTimeout = std::chrono::milliseconds(500);
inline constexpr Duration maximumScanTimeout = std::chrono::seconds(30);
// Lines read but not yet handled: a fast writer waits in its pipe beyond this.
inline constexpr std::size_t maximumCommandsInFlight = 64;

// Bounds of the write queue and the notification batches.
inline constexpr std::size_t maximumPendingWrites = 64;
inline constexpr std::size_t maximumWriteBase64Characters = 16384;
inline constexpr std::size_t maximumAdditionalFrames = 15;
inline constexpr std::size_t maximumAdditionalFrameCharacters = 292;
inline constexpr std::size_t maximumMultiFrameBytes = 218;
inline constexpr Duration notificationBatchDelay = std::chrono::milliseconds(40);
inline constexpr std::size_t maximumNotificationBatchPackets = 5;
inline constexpr std::size_t maximumNotificationBatchBytes = 12000;

// Timers of the connection.
inline constexpr Duration gattSetupTimeout = std::chrono::seconds(8);
inline constexpr Duration connectionAttemptTimeout = std::chrono::seconds(8);
inline constexpr Duration disconnectFallbackTimeout = std::chrono::seconds(1);

// The output queue: a stalled reader of standard output costs at most this much memory.
inline constexpr std::size_t maximumQueuedLines = 2048;
inline constexpr std::size_t maximumQueuedBytes = 8 * 1024 * 1024;
// How long shutdown waits for queued lines to reach standard output.
inline constexpr Duration shutdownFlushTimeout = std::chrono::milliseconds(500);
// How long shutdown waits for the platform to take the link's cancellation.
inline constexpr Duration shutdownDisconnectTimeout = std::chrono::seconds(1);

}  // namespace orvix::ble_host
