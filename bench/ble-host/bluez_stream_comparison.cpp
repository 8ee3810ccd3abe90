// The recorder's notifications through the Bluetooth host on the two stacks side by side, in one
// run: the simulated stack, and the BlueZ binding fed by a BlueZ on a private dbus-daemon that
// sends each notification as bluetoothd does, a "Value" change of a StartNotify session. Each
// stack carries the same sequence, as a recorder sends it in each connection event: four stream
// packets, one command packet, four stream packets, notified back to back, each starting with
// its index. It goes through the real host, batching and output writer into a pipe that a reader
// drains. Reported: notifications per second from the first notification to the last line, the
// delay from each packet's notification to the arrival of the line that carries it (p50, p99),
// and whether every packet left in the order it arrived, across both channels. BlueZ is measured
// back to back and paced at 2,000 notifications a second. The notification
// time is the sender's, taken as it sends each packet, so the BlueZ delay includes the bus daemon,
// the binding's bus thread and the hop to the main loop.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "OrvixBleHost/ble_host.h"
#include "OrvixBleHost/ble_host_constants.h"
#include "OrvixBleHost/host_output_writer.h"
#include "common/base64.h"
#include "common/time/real_time_source.h"
#include "platform/linux/bluetooth/bluez_bluetooth.h"
#include "platform/simulated/bluetooth/simulated_bluetooth.h"
#include "support/bluez/mock_bluez.h"

namespace {

using namespace orvix;
using namespace orvix::ble_host;
using SteadyClock = std::chrono::steady_clock;

constexpr std::uint32_t kConnectionEvents = 400;  // 9 packets each: 3,600 notifications
constexpr std::uint32_t kPacketBytes = 244;

double seconds(SteadyClock::time_point t) {
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

// Which characteristic each notification of the run comes from, in the order they are sent.
std::vector<std::string> interleavedOrder() {
  std::vector<std::string> order;
  for (std::uint32_t event = 0; event < kConnectionEvents; ++event) {
    for (const char* which : {"stream", "stream", "stream", "stream", "command", "stream",
                              "stream", "stream", "stream"}) {
      order.emplace_back(which);
    }
  }
  return order;
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
  std::size_t notifications() const { return notifications_.load(); }
  std::string candidate() {
    std::lock_guard lock(mutex_);
    for (const auto& [when, line] : lines_) {
      if (line.find("candidate.discovered") != std::string::npos) {
        return nlohmann::json::parse(line)["candidateId"];
      }
    }
    return "";
  }
  // Every notified packet the host wrote, in the order written: its index and arrival time.
  std::vector<std::pair<std::uint32_t, double>> packets() {
    std::lock_guard lock(mutex_);
    std::vector<std::pair<std::uint32_t, double>> found;
    for (const auto& [when, line] : lines_) {
      if (line.find("\"channel\"") == std::string::npos) continue;
      const auto event = nlohmann::json::parse(line);
      const auto data = base64Decode(event["dataBase64"].get<std::string>()).value_or(Bytes{});
      std::vector<std::size_t> lengths = {data.size()};
      if (event.contains("packetLengths")) lengths = event["packetLengths"].get<std::vector<std::size_t>>();
      std::size_t at = 0;
      for (const auto length : lengths) {
        if (length < 4 || at + length > data.size()) break;
        found.emplace_back((std::uint32_t{data[at]} << 24) | (std::uint32_t{data[at + 1]} << 16) |
                               (std::uint32_t{data[at + 2]} << 8) | data[at + 3],
                           when);
        at += length;
      }
    }
    return found;
  }

 private:
  using Bytes = std::vector<std::uint8_t>;

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
        if (line.find("\"channel\"") != std::string::npos) {
          const auto at = line.find("\"packetLengths\":[");
          notifications_ += at == std::string::npos
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
  std::atomic<std::size_t> notifications_{0};
};

struct Result {
  double perSecond = 0;
  double p50Ms = 0;
  double p99Ms = 0;
  std::size_t packets = 0;
  std::size_t outOfOrder = 0;
};

Result measure(const std::vector<double>& sent,
               const std::vector<std::pair<std::uint32_t, double>>& arrived) {
  Result result;
  result.packets = arrived.size();
  if (arrived.empty() || sent.empty()) return result;
  std::vector<double> delays;
  for (std::size_t i = 0; i < arrived.size(); ++i) {
    const auto [index, when] = arrived[i];
    if (index != i) ++result.outOfOrder;
    if (index < sent.size()) delays.push_back(when - sent[index]);
  }
  std::sort(delays.begin(), delays.end());
  result.p50Ms = delays[delays.size() / 2] * 1e3;
  result.p99Ms = delays[delays.size() * 99 / 100] * 1e3;
  result.perSecond = static_cast<double>(result.packets) / (arrived.back().second - sent.front());
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
// `notifyAll` notifies the sequence and answers when each packet was sent.
template <typename Advertise, typename NotifyAll>
Result run(RealTimeSource& time, platform::Bluetooth& bluetooth, Advertise advertise,
           NotifyAll notifyAll) {
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
    const auto sent = notifyAll();
    pumpUntil(time, [&] { return output.notifications() >= sent.size(); });
    result = measure(sent, output.packets());
    host.handle(R"({"schemaVersion":1,"command":"disconnect","requestId":"d","connectionId":"bench"})");
    pumpUntil(time, [&] { return output.contains("\"disconnected\""); });
  }
  writer.closeAndFlush(std::chrono::seconds(5));
  return result;
}

// The recorder of the simulated stack: in range, heard when advertised, notifying on demand.
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
  std::printf("%-36s %8zu %16.0f %9.2f %9.2f %s\n", stack, result.packets, result.perSecond,
              result.p50Ms, result.p99Ms,
              result.outOfOrder == 0 ? "exact" : (std::to_string(result.outOfOrder) + " misplaced").c_str());
}

}  // namespace

int main() {
  const auto order = interleavedOrder();
  std::printf("%zu notifications of %u bytes (4 stream, 1 command, 4 stream per connection event),\n"
              "notified back to back, to the host's output pipe\n",
              order.size(), kPacketBytes);
  std::printf("%-36s %8s %16s %9s %9s %s\n", "stack", "packets", "notifications/s", "p50 ms",
              "p99 ms", "order");
  {
    RealTimeSource time;
    platform::simulated::SimulatedBluetooth bluetooth(time, simulatedRecorder());
    const auto recorder = *parseUuid("5A3C9E7B-1D2F-4A6B-8C0D-2E4F6A8B0C1D");
    const auto result = run(time, bluetooth, [] {}, [&] {
      std::vector<double> sent;
      std::vector<std::uint8_t> packet(kPacketBytes);
      for (std::uint32_t i = 0; i < order.size(); ++i) {
        for (std::uint32_t b = 0; b < kPacketBytes; ++b) packet[b] = static_cast<std::uint8_t>(b);
        packet[0] = static_cast<std::uint8_t>(i >> 24);
        packet[1] = static_cast<std::uint8_t>(i >> 16);
        packet[2] = static_cast<std::uint8_t>(i >> 8);
        packet[3] = static_cast<std::uint8_t>(i);
        sent.push_back(seconds(SteadyClock::now()));
        bluetooth.peripheral(recorder)->simulateNotification(
            order[i] == "command" ? commandUUID : streamUUID, packet);
        time.mainLoop().runFor(Duration::zero());  // delivered as the platform would
      }
      return sent;
    });
    print("simulated stack (in process)", result);
  }
  // Back to back shows what the path carries at most; paced at 2,000 a second (a recorder
  // streaming with commands in between) shows the delay a packet meets when the path keeps up.
  for (const auto spacing : {std::chrono::microseconds(0), std::chrono::microseconds(500)}) {
    try {
      testing::MockBluez bluez;
      RealTimeSource time;
      platform::linux_bluetooth::BluezBluetooth bluetooth(time.mainLoop());
      const auto result = run(
          time, bluetooth, [&] { bluez.advertiseEvery(std::chrono::milliseconds(50), -60); },
          [&] {
            bluez.advertiseEvery(std::chrono::milliseconds(0), -60);
            // The mock sends from its own process while the main loop here keeps running.
            std::vector<double> sent;
            std::atomic<bool> done{false};
            std::thread sender([&] {
              sent = bluez.notifySequence(order, spacing, kPacketBytes);
              done = true;
            });
            pumpUntil(time, [&] { return done.load(); });
            sender.join();
            return sent;
          });
      print(spacing.count() == 0 ? "BlueZ binding, back to back"
                                 : "BlueZ binding, paced at 2,000/s",
            result);
    } catch (const std::exception& e) {
      std::printf("BlueZ binding: not measured: %s\n", e.what());
      return 1;
    }
  }
  return 0;
}
