#include "support/bluez/mock_bluez.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace orvix::testing {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kStartPatience = 30s;
// bluetoothd names the command characteristic after its declaration handle.
constexpr const char* kCommandPath = "/org/bluez/hci0/dev_C0_FF_EE_00_00_01/service0010/char0013";

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error("mock BlueZ: " + what); }

// Starts `argv` with standard input from /dev/null, both outputs into `log`, and `printFd` as
// descriptor 3.
pid_t spawn(const std::vector<std::string>& argv, const std::string& log, int printFd = -1) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  if (printFd >= 0) posix_spawn_file_actions_adddup2(&actions, printFd, 3);
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int r = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (r != 0) fail("cannot start " + argv[0] + ": " + std::strerror(r));
  return pid;
}

void stop(pid_t& pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  // Waits on the process's own descriptor, so its exit wakes the wait at once.
  const int process = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (process >= 0) {
    pollfd exited{process, POLLIN, 0};
    if (::poll(&exited, 1, 5000) <= 0) ::kill(pid, SIGKILL);
    ::close(process);
  }
  ::waitpid(pid, nullptr, 0);
  pid = -1;
}

std::string fileText(const std::string& path) {
  std::string text;
  if (FILE* f = std::fopen(path.c_str(), "r")) {
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    std::fclose(f);
  }
  return text;
}

// Waits for the line the bus daemon prints once it listens.
void awaitListening(int fd, const std::string& log) {
  const auto giveUp = Clock::now() + kStartPatience;
  for (std::string printed; printed.find('\n') == std::string::npos;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - Clock::now());
    pollfd ready{fd, POLLIN, 0};
    if (left <= 0ms || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
      fail("dbus-daemon did not start: " + fileText(log));
    }
    char buffer[256];
    const auto n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) fail("dbus-daemon ended at start: " + fileText(log));
    printed.append(buffer, static_cast<std::size_t>(n));
  }
}

std::string owner(sd_bus* bus, const char* name) {
  sd_bus_message* reply = nullptr;
  const char* unique = nullptr;
  std::string found;
  if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus", "GetNameOwner", nullptr, &reply, "s", name) >= 0 &&
      sd_bus_message_read(reply, "s", &unique) >= 0) {
    found = unique;
  }
  sd_bus_message_unref(reply);
  return found;
}

bool readFlag(sd_bus_message* reply) {
  int flag = 0;
  sd_bus_message_read(reply, "b", &flag);
  sd_bus_message_unref(reply);
  return flag != 0;
}

std::vector<double> readTimes(sd_bus_message* reply) {
  const void* times = nullptr;
  std::size_t bytes = 0;
  std::vector<double> sent;
  if (sd_bus_message_read_array(reply, 'd', &times, &bytes) >= 0) {
    const auto* begin = static_cast<const double*>(times);
    sent.assign(begin, begin + bytes / sizeof(double));
  }
  sd_bus_message_unref(reply);
  return sent;
}

}  // namespace

MockBluez::MockBluez() : MockBluez(Options{}) {}

MockBluez::MockBluez(Options options) : options_(options) {
  char pattern[] = "/tmp/orvix-bluez-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    fail(std::string("no temporary directory: ") + std::strerror(errno));
  }
  directory_ = pattern;
  // Without the guid the daemon prints, so that a client can reach the bus that comes back.
  address_ = "unix:path=" + directory_ + "/bus";
  // Every bus client of this process, the binding under test among them, now finds this bus.
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
  try {
    startBus();
  } catch (...) {
    stopBus();
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
    throw;
  }
}

MockBluez::~MockBluez() {
  stopBus();
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

void MockBluez::startBus() {
  const std::string busLog = directory_ + "/dbus.log";
  std::error_code ignored;
  std::filesystem::remove(directory_ + "/bus", ignored);
  int printed[2];
  if (::pipe2(printed, O_CLOEXEC) != 0) fail("no pipe");
  busDaemon_ = spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile",
                      "--address=" + address_, "--print-address=3"},
                     busLog, printed[1]);
  ::close(printed[1]);
  try {
    awaitListening(printed[0], busLog);
  } catch (...) {
    ::close(printed[0]);
    throw;
  }
  ::close(printed[0]);
  if (sd_bus_new(&bus_) < 0 || sd_bus_set_address(bus_, address_.c_str()) < 0 ||
      sd_bus_set_bus_client(bus_, 1) < 0 || sd_bus_start(bus_) < 0) {
    fail("cannot connect to the private bus " + address_);
  }
  startMock();
}

void MockBluez::stopBus() {
  if (bus_ != nullptr) bus_ = sd_bus_flush_close_unref(bus_);
  stop(mock_);
  stop(busDaemon_);
}

void MockBluez::restartBus() {
  stopBus();
  startBus();
}

void MockBluez::restartBluez() {
  const std::string previous = owner(bus_, "org.bluez");
  stop(mock_);
  startMock(previous);
}

void MockBluez::startMock(const std::string& previousOwner) {
  const std::string mockLog = directory_ + "/mock.log";
  mock_ = spawn({"/usr/bin/python3", "-m", "dbusmock", "--template", "bluez5"}, mockLog);
  for (const auto giveUp = Clock::now() + kStartPatience;;) {
    const std::string now = owner(bus_, "org.bluez");
    if (!now.empty() && now != previousOwner) break;
    if (Clock::now() > giveUp) {
      fail("python3 -m dbusmock did not take org.bluez: " + fileText(mockLog));
    }
    std::this_thread::sleep_for(10ms);
  }
  sd_bus_message* call = nullptr;
  int r = sd_bus_message_new_method_call(bus_, &call, "org.bluez", "/", "org.freedesktop.DBus.Mock",
                                         "AddTemplate");
  if (r >= 0) {
    r = sd_bus_message_append(call, "sa{sv}", ORVIX_MOCK_RECORDER_TEMPLATE, 1, "mtu_property", "b",
                              options_.mtuProperty ? 1 : 0);
  }
  sd_bus_error error{};
  if (r >= 0) r = sd_bus_call(bus_, call, 0, &error, nullptr);
  sd_bus_message_unref(call);
  if (r < 0) {
    const std::string reason = error.message ? error.message : std::strerror(-r);
    sd_bus_error_free(&error);
    fail("the recorder could not be added: " + reason + "; " + fileText(mockLog));
  }
  if (temporaryTimeout_) setTemporaryTimeout(*temporaryTimeout_);
  if (refusingConnections_) refuseConnections(true);
  if (advertisingInterval_ > 0ms) advertiseEvery(advertisingInterval_, advertisingRssi_);
}

sd_bus_message* MockBluez::newCall(const char* method) {
  sd_bus_message* call = nullptr;
  if (sd_bus_message_new_method_call(bus_, &call, "org.bluez", "/", "org.orvix.MockRecorder",
                                     method) < 0) {
    fail(std::string(method) + ": no message");
  }
  return call;
}

sd_bus_message* MockBluez::send(sd_bus_message* call, const char* method,
                                std::uint64_t timeoutUsec) {
  sd_bus_error error{};
  sd_bus_message* reply = nullptr;
  const int r = sd_bus_call(bus_, call, timeoutUsec, &error, &reply);
  sd_bus_message_unref(call);
  if (r < 0) {
    const std::string reason = error.message ? error.message : std::strerror(-r);
    sd_bus_error_free(&error);
    fail(std::string(method) + " failed: " + reason);
  }
  return reply;
}

void MockBluez::control(const char* method, const char* types, ...) {
  sd_bus_message* call = newCall(method);
  va_list arguments;
  va_start(arguments, types);
  const int r = types != nullptr ? sd_bus_message_appendv(call, types, arguments) : 0;
  va_end(arguments);
  if (r < 0) {
    sd_bus_message_unref(call);
    fail(std::string(method) + ": bad arguments");
  }
  sd_bus_message_unref(send(call, method));
}

bool MockBluez::discovering() { return readFlag(send(newCall("Discovering"), "Discovering")); }

bool MockBluez::advertise(int rssi) {
  sd_bus_message* call = newCall("Advertise");
  sd_bus_message_append(call, "n", static_cast<std::int16_t>(rssi));
  return readFlag(send(call, "Advertise"));
}

void MockBluez::advertiseEvery(std::chrono::milliseconds interval, int rssi) {
  control("AdvertiseEvery", "un", static_cast<std::uint32_t>(interval.count()),
          static_cast<std::int16_t>(rssi));
  advertisingInterval_ = interval;
  advertisingRssi_ = rssi;
}

void MockBluez::setTemporaryTimeout(std::chrono::milliseconds timeout) {
  control("SetTemporaryTimeout", "u", static_cast<std::uint32_t>(timeout.count()));
  temporaryTimeout_ = timeout;
}

void MockBluez::notify(std::string_view characteristic, const std::vector<std::uint8_t>& value) {
  sd_bus_message* call = newCall("Notify");
  sd_bus_message_append(call, "s", std::string(characteristic).c_str());
  sd_bus_message_append_array(call, 'y', value.data(), value.size());
  sd_bus_message_unref(send(call, "Notify"));
}

std::vector<double> MockBluez::notifyBurst(std::string_view characteristic, std::uint32_t count,
                                           std::uint32_t size) {
  sd_bus_message* call = newCall("NotifyBurst");
  sd_bus_message_append(call, "suu", std::string(characteristic).c_str(), count, size);
  return readTimes(send(call, "NotifyBurst"));
}

std::vector<double> MockBluez::notifySequence(const std::vector<std::string>& characteristics,
                                              std::chrono::microseconds spacing,
                                              std::uint32_t size) {
  sd_bus_message* call = newCall("NotifySequence");
  sd_bus_message_open_container(call, 'a', "s");
  for (const auto& which : characteristics) sd_bus_message_append(call, "s", which.c_str());
  sd_bus_message_close_container(call);
  sd_bus_message_append(call, "tu", static_cast<std::uint64_t>(spacing.count()), size);
  // The mock answers after the last one; allow for the sequence's own length.
  const std::chrono::microseconds patience =
      spacing * static_cast<long>(characteristics.size()) + 25s;
  return readTimes(send(call, "NotifySequence", static_cast<std::uint64_t>(patience.count())));
}

void MockBluez::notifyMalformed(std::string_view kind) {
  control("NotifyMalformed", "s", std::string(kind).c_str());
}

void MockBluez::spoofNotification(const std::vector<std::uint8_t>& value) {
  sd_bus_message* signal = nullptr;
  int r = sd_bus_message_new_signal(bus_, &signal, kCommandPath, "org.freedesktop.DBus.Properties",
                                    "PropertiesChanged");
  if (r >= 0) r = sd_bus_message_append(signal, "s", "org.bluez.GattCharacteristic1");
  if (r >= 0) r = sd_bus_message_open_container(signal, 'a', "{sv}");
  if (r >= 0) r = sd_bus_message_open_container(signal, 'e', "sv");
  if (r >= 0) r = sd_bus_message_append(signal, "s", "Value");
  if (r >= 0) r = sd_bus_message_open_container(signal, 'v', "ay");
  if (r >= 0) r = sd_bus_message_append_array(signal, 'y', value.data(), value.size());
  for (int i = 0; i < 3 && r >= 0; ++i) r = sd_bus_message_close_container(signal);
  if (r >= 0) r = sd_bus_message_append(signal, "as", 0);
  if (r >= 0) r = sd_bus_send(bus_, signal, nullptr);
  sd_bus_message_unref(signal);
  if (r >= 0) r = sd_bus_flush(bus_);
  if (r < 0) fail("the spoofed notification could not be sent");
}

void MockBluez::dropLink() { control("DropLink", nullptr); }
void MockBluez::setPowered(bool powered) { control("SetPowered", "b", powered ? 1 : 0); }
void MockBluez::setPowerState(std::string_view state) {
  control("SetPowerState", "s", std::string(state).c_str());
}

void MockBluez::refuseConnections(bool refuse) {
  control("RefuseConnections", "b", refuse ? 1 : 0);
  refusingConnections_ = refuse;
}

std::vector<MockBluez::Write> MockBluez::writes() {
  sd_bus_message* reply = send(newCall("Writes"), "Writes");
  std::vector<Write> found;
  int r = sd_bus_message_enter_container(reply, 'a', "(ays)");
  while (r >= 0 && sd_bus_message_enter_container(reply, 'r', "ays") > 0) {
    const void* bytes = nullptr;
    std::size_t size = 0;
    const char* type = nullptr;
    if (sd_bus_message_read_array(reply, 'y', &bytes, &size) < 0 ||
        sd_bus_message_read(reply, "s", &type) < 0) {
      break;
    }
    const auto* begin = static_cast<const std::uint8_t*>(bytes);
    found.push_back({{begin, begin + size}, type});
    sd_bus_message_exit_container(reply);
  }
  sd_bus_message_unref(reply);
  return found;
}

std::vector<MockBluez::Call> MockBluez::calls() {
  sd_bus_message* reply = send(newCall("Calls"), "Calls");
  std::vector<Call> found;
  const char* method = nullptr;
  const char* path = nullptr;
  const char* error = nullptr;
  const char* detail = nullptr;
  int r = sd_bus_message_enter_container(reply, 'a', "(ssss)");
  while (r >= 0 && sd_bus_message_read(reply, "(ssss)", &method, &path, &error, &detail) > 0) {
    found.push_back({method, path, error, detail});
  }
  sd_bus_message_unref(reply);
  return found;
}

}  // namespace orvix::testing
