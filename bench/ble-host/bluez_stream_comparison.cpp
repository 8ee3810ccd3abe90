// The recorder's stream through the Bluetooth host on the two stacks side by side, in one run:
// the simulated stack, and the BlueZ binding fed by python-dbusmock's BlueZ over a private
// dbus-daemon. Each stack carries the same burst of 244-byte packets, notified back to back,
// through the real host, batching and output writer into a pipe that a reader drains. Reported:
// packets per second from the first notification to the last line, and the delay from each
// packet's notification to the arrival of the line that carries it (p50, p99). BlueZ is measured
// twice: with the stream on the socket of AcquireNotify (what BlueZ offers for a notifying
// characteristic), and with the socket refused, on StartNotify's "Value" changes through the
// bus daemon. The notification time is the mock's, taken as it sends each packet, so the delay
// includes the socket or the bus daemon, the binding's bus thread and the hop to the main loop.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "OrvixBleHost/ble_host.h"
#include "OrvixBleHost/ble_host_constants.h"
#include "OrvixBleHost/host_output_writer.h"
#include "common/time/real_time_source.h"
#include "platform/linux/bluetooth/bluez_bluetooth.h"
#include "platform/simulated/bluetooth/simulated_bluetooth.h"
#include "support/bluez/mock_bluez.h"

namespace {

using namespace orvix;
using namespace orvix::ble_host;
using SteadyClock = std::chrono::steady_clock;

constexpr std::uint32_t kPackets = 3000;
constexpr std::uint32_t kPacketBytes = 244;

double seconds(SteadyClock::time_point t) {
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

// The reader's end of the host's output: each line with the time it was read.
class Output {
 public:
  Output() {
    if (pipe(fds_) != 0) std::abort();
    reader_ = std::thread([this] { read(); });
  }
  ~Output() {
    ::close(fds_[1]);
    reader_.join();
    ::close(fds_[0]);
  }
  int writeEnd() const { return fds_[1]; }

  bool contains(const std::string& needle) {
    std::lock_guard lock(mutex_);
    return std::any_of(lines_.begin(), lines_.end(),
                       [&](const auto& line) { return line.second.find(needle) != std::string::npos; });
  }
  std::size_t streamPackets() const { return streamPackets_.load(); }
  std::string candidate() {
    std::lock_guard lock(mutex_);
    for (const auto& [when, line] : lines_) {
      if (line.find("candidate.discovered") != std::string::npos) {
        return nlohmann::json::parse(line)["candidateId"];
      }
    }
    return "";
  }
  // The arrival time of every stream packet, in order.
  std::vector<double> packetArrivals() {
    std::lock_guard lock(mutex_);
    std::vector<double> arrivals;
    for (const auto& [when, line] : lines_) {
      if (line.find("\"stream-a4\"") == std::string::npos) continue;
      const auto event = nlohmann::json::parse(line);
      const std::size_t count = event.contains("packetLengths") ? event["packetLengths"].size() : 1;
      arrivals.insert(arrivals.end(), count, when);
    }
    return arrivals;
  }

 private:
  void read() {
    std::string pending;
    char buffer[65536];
    for (ssize_t n; (n = ::read(fds_[0], buffer, sizeof buffer)) > 0;) {
      const double now = seconds(SteadyClock::now());
      pending.append(buffer, static_cast<std::size_t>(n));
      std::size_t end;
      while ((end = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (line.find("\"stream-a4\"") != std::string::npos) {
          const auto at = line.find("\"packetLengths\":[");
          streamPackets_ += at == std::string::npos
                                ? 1
                                : 1 + static_cast<std::size_t>(std::count(
                                          line.begin() + static_cast<std::ptrdiff_t>(at),
                                          line.begin() + static_cast<std::ptrdiff_t>(line.find(']', at)), ','));
        }
        std::lock_guard lock(mutex_);
        lines_.emplace_back(now, std::move(line));
      }
    }
  }

  int fds_[2];
  std::thread reader_;
  std::mutex mutex_;
  std::vector<std::pair<double, std::string>> lines_;
  std::atomic<std::size_t> streamPackets_{0};
};

struct Result {
  double packetsPerSecond = 0;
  double p50Ms = 0;
  double p99Ms = 0;
  std::size_t packets = 0;
};

Result measure(const std::vector<double>& sent, const std::vector<double>& arrived) {
  Result result;
  result.packets = std::min(sent.size(), arrived.size());
  if (result.packets == 0) return result;
  std::vector<double> delays;
  for (std::size_t i = 0; i < result.packets; ++i) delays.push_back(arrived[i] - sent[i]);
  std::sort(delays.begin(), delays.end());
  result.p50Ms = delays[delays.size() / 2] * 1e3;
  result.p99Ms = delays[delays.size() * 99 / 100] * 1e3;
  result.packetsPerSecond =
      static_cast<double>(result.packets) / (arrived[result.packets - 1] - sent.front());
  return result;
}

// Pumps the main loop until `condition` holds (false after 30 s).
template <typename Condition>
bool pumpUntil(RealTimeSource& time, Condition condition) {
  const auto giveUp = SteadyClock::now() + std::chrono::seconds(30);
  while (!condition()) {
    if (SteadyClock::now() > giveUp) return false;
    time.mainLoop().runFor(std::chrono::milliseconds(1));
  }
  return true;
}

// The host on `bluetooth`, connected to the recorder; `advertise` makes the recorder heard and
// `stream` notifies the burst and answers when each packet was sent.
template <typename Advertise, typename Stream>
Result run(RealTimeSource& time, platform::Bluetooth& bluetooth, Advertise advertise,
           Stream stream) {
  Output output;
  FileDescriptorLineSink sink(output.writeEnd());
  HostOutputWriter writer(sink);
  writer.start(time);
  Result result;
  {
    BleHost host(bluetooth, time.mainLoop(), writer, [](int) {});
    host.start();
    host.handle(
        R"({"schemaVersion":1,"command":"permission.refresh","requestId":"p","requestAuthorization":true})");
    if (!pumpUntil(time, [&] { return output.contains("powered-on"); })) return result;
    host.handle(
        R"({"schemaVersion":1,"command":"scan.start","requestId":"s","scanId":"s","timeoutMs":30000})");
    advertise();
    if (!pumpUntil(time, [&] { return output.contains("candidate.discovered"); })) return result;
    const std::string candidate = output.candidate();
    host.handle(R"({"schemaVersion":1,"command":"connect","requestId":"c","candidateId":")" +
                candidate + R"(","connectionId":"bench"})");
    if (!pumpUntil(time, [&] { return output.contains("gatt.ready"); })) return result;
    const auto sent = stream(host);
    pumpUntil(time, [&] { return output.streamPackets() >= sent.size(); });
    result = measure(sent, output.packetArrivals());
    host.handle(R"({"schemaVersion":1,"command":"disconnect","requestId":"d","connectionId":"bench"})");
    pumpUntil(time, [&] { return output.contains("\"disconnected\""); });
  }
  writer.closeAndFlush(std::chrono::seconds(5));
  return result;
}

// The recorder of the simulated stack: in range, heard when advertised, streaming on demand.
platform::simulated::BluetoothScenario simulatedRecorder() {
  platform::simulated::SimulatedDevice recorder;
  recorder.identifier = *parseUuid("5A3C9E7B-1D2F-4A6B-8C0D-2E4F6A8B0C1D");
  recorder.name = "Orvix K7";
  recorder.advertisingInterval = std::chrono::milliseconds(20);
  recorder.gattServices = {serviceUUID};
  for (const auto& [uuid, properties] : {std::pair{rxUUID, platform::kPropertyWrite},
                                         std::pair{commandUUID, platform::kPropertyNotify},
                                         std::pair{streamUUID, platform::kPropertyNotify}}) {
    platform::simulated::SimulatedCharacteristicSpec characteristic;
    characteristic.service = serviceUUID;
    characteristic.uuid = uuid;
    characteristic.properties = properties;
    recorder.characteristics.push_back(characteristic);
  }
  platform::simulated::BluetoothScenario scenario;
  scenario.devices = {recorder};
  return scenario;
}

void print(const char* stack, const Result& result) {
  std::printf("%-40s %8zu %14.0f %10.2f %10.2f\n", stack, result.packets,
              result.packetsPerSecond, result.p50Ms, result.p99Ms);
}

}  // namespace

int main() {
  std::printf("%u packets of %u bytes, notified back to back, to the host's output pipe\n",
              kPackets, kPacketBytes);
  std::printf("%-40s %8s %14s %10s %10s\n", "stack", "packets", "packets/s", "p50 ms",
              "p99 ms");
  {
    RealTimeSource time;
    platform::simulated::SimulatedBluetooth bluetooth(time, simulatedRecorder());
    const auto recorder = *parseUuid("5A3C9E7B-1D2F-4A6B-8C0D-2E4F6A8B0C1D");
    const auto result = run(
        time, bluetooth, [] {},
        [&](BleHost&) {
          std::vector<double> sent;
          std::vector<std::uint8_t> packet(kPacketBytes);
          for (std::uint32_t i = 0; i < kPackets; ++i) {
            for (std::uint32_t b = 0; b < kPacketBytes; ++b) {
              packet[b] = static_cast<std::uint8_t>(i * kPacketBytes + b);
            }
            sent.push_back(seconds(SteadyClock::now()));
            bluetooth.peripheral(recorder)->simulateNotification(streamUUID, packet);
            time.mainLoop().runFor(Duration::zero());  // delivered as the platform would
          }
          return sent;
        });
    print("simulated stack (in process)", result);
  }
  for (const bool sockets : {true, false}) {
    try {
      testing::MockBluez bluez;
      bluez.offerSockets(sockets);
      RealTimeSource time;
      platform::linux_bluetooth::BluezBluetooth bluetooth(time.mainLoop());
      const auto result = run(
          time, bluetooth, [&] { bluez.advertise(-60); },
          [&](BleHost&) {
            // The mock emits from its own process while the main loop here keeps running.
            std::vector<double> sent;
            std::atomic<bool> done{false};
            std::thread emitter([&] {
              sent = bluez.notifyBurst("stream", kPackets, kPacketBytes);
              done = true;
            });
            pumpUntil(time, [&] { return done.load(); });
            emitter.join();
            return sent;
          });
      print(sockets ? "BlueZ binding, AcquireNotify socket" : "BlueZ binding, StartNotify Value",
            result);
    } catch (const std::exception& e) {
      std::printf("BlueZ binding: not measured: %s\n", e.what());
      return 1;
    }
  }
  return 0;
}
