#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "OrvixBleHost/ble_host.h"
#include "common/json_wire.h"
#include "common/time/virtual_time_source.h"
#include "platform/simulated/bluetooth/simulated_bluetooth.h"

namespace orvix::ble_host::testing {

using platform::BluetoothAuthorization;
using platform::CentralState;
using platform::simulated::BluetoothScenario;
using platform::simulated::SimulatedBluetooth;
using platform::simulated::SimulatedDevice;

// Keeps every line the host queued, and whether and how it was closed.
class RecordingEventQueue final : public EventQueue {
 public:
  void enqueue(std::string line) override {
    if (!closed) lines.push_back(std::move(line));
  }
  bool closeAndFlush(Duration timeout) override {
    closed = true;
    flushTimeout = timeout;
    return true;
  }
  std::vector<std::string> lines;
  bool closed = false;
  std::optional<Duration> flushTimeout;
};

inline constexpr const char* kRecorderId = "5A3C9E7B-1D2F-4A6B-8C0D-2E4F6A8B0C1D";
inline constexpr const char* kSpeakerId = "0B9D2C4E-6F70-4182-93A4-B5C6D7E8F901";
inline constexpr const char* kRecorderService = "001120a0-2233-4455-6677-889912345678";

inline Uuid uuidOf(const char* text) { return *parseUuid(text); }

// A recorder that advertises its service every 100 ms, and nothing else; the user has allowed
// Bluetooth and the adapter is on. Tests adjust the scenario before calling boot().
inline BluetoothScenario recorderScenario() {
  BluetoothScenario scenario;
  SimulatedDevice recorder;
  recorder.identifier = uuidOf(kRecorderId);
  recorder.name = "Orvix K7";
  recorder.advertisement.localName = "Orvix K7";
  recorder.advertisement.serviceUuids = std::vector<Uuid>{uuidOf(kRecorderService)};
  recorder.rssi = {-60};
  recorder.knownToSystem = true;
  recorder.gattServices = {uuidOf(kRecorderService)};
  scenario.devices.push_back(recorder);
  return scenario;
}

// The Bluetooth host on a simulated stack and virtual time; events are read back as JSON.
class BleHostTest : public ::testing::Test {
 protected:
  void boot(BluetoothScenario scenario = recorderScenario()) {
    host.reset();
    bluetooth = std::make_unique<SimulatedBluetooth>(time, std::move(scenario));
    host = std::make_unique<BleHost>(*bluetooth, time.mainLoop(), output,
                                     [this](int status) { exitStatus = status; });
    host->start();
    time.runUntilIdle();
  }

  void TearDown() override {
    host.reset();
    bluetooth.reset();
  }

  // Every event written since the last call, in order.
  std::vector<Json> events() {
    std::vector<Json> parsed;
    for (; read_ < output.lines.size(); ++read_) {
      const std::string& line = output.lines[read_];
      EXPECT_TRUE(line.ends_with('\n')) << line;
      auto event = parseJsonObject(std::string_view(line).substr(0, line.size() - 1));
      EXPECT_TRUE(event.has_value()) << line;
      if (event) parsed.push_back(std::move(*event));
    }
    return parsed;
  }
  // The raw lines written since the last call, without their line feeds.
  std::vector<std::string> lines() {
    std::vector<std::string> raw;
    for (; read_ < output.lines.size(); ++read_) {
      raw.push_back(output.lines[read_].substr(0, output.lines[read_].size() - 1));
    }
    return raw;
  }
  void discardEvents() { read_ = output.lines.size(); }

  // Sends one command line and lets everything that follows at this instant happen.
  std::vector<Json> send(const std::string& line) {
    discardEvents();
    host->handle(line);
    time.runUntilIdle();
    return events();
  }
  std::vector<Json> send(const Json& command) { return send(command.dump()); }

  static Json command(const std::string& name, Json fields = Json::object()) {
    fields["schemaVersion"] = 1;
    fields["command"] = name;
    if (!fields.contains("requestId")) fields["requestId"] = "req";
    return fields;
  }
  static Json scanStart(const std::string& scanId, int timeoutMs = 5000) {
    return command("scan.start", {{"scanId", scanId}, {"timeoutMs", timeoutMs}});
  }

  void grantAndPowerOn() {
    send(command("permission.refresh", {{"requestAuthorization", true}}));
    discardEvents();
  }

  static Json hostError(const std::string& code, const std::string& requestId = "req") {
    return {{"schemaVersion", 1},
            {"event", "host.error"},
            {"scope", "command"},
            {"code", code},
            {"requestId", requestId}};
  }
  static Json adapterState(const std::string& state, const std::string& authorization) {
    return {{"schemaVersion", 1},
            {"event", "adapter.state"},
            {"state", state},
            {"authorization", authorization}};
  }
  static Json scanCompleted(const std::string& scanId, const std::string& reason) {
    return {
        {"schemaVersion", 1}, {"event", "scan.completed"}, {"scanId", scanId}, {"reason", reason}};
  }

  VirtualTimeSource time;
  RecordingEventQueue output;
  std::unique_ptr<SimulatedBluetooth> bluetooth;
  std::unique_ptr<BleHost> host;
  std::optional<int> exitStatus;

 private:
  std::size_t read_ = 0;
};

}  // namespace orvix::ble_host::testing
