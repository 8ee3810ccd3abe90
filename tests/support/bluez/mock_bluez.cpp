#include "support/bluez/mock_bluez.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

extern char** environ;

namespace orvix::testing {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kStartPatience = 30s;

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error("mock BlueZ: " + what);
}

// Starts `argv` with standard input from /dev/null and both outputs into `log`.
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

void stop(pid_t pid) {
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

// The line the bus daemon prints once it listens: its address.
std::string readAddress(int fd, const std::string& log) {
  std::string address;
  const auto giveUp = Clock::now() + kStartPatience;
  while (address.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - Clock::now());
    pollfd ready{fd, POLLIN, 0};
    if (left <= 0ms || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
      fail("dbus-daemon did not start: " + fileText(log));
    }
    char buffer[256];
    const auto n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) fail("dbus-daemon ended at start: " + fileText(log));
    address.append(buffer, static_cast<std::size_t>(n));
  }
  return address.substr(0, address.find('\n'));
}

// Waits, on the bus's own signals, until org.bluez has an owner.
void awaitBluez(sd_bus* bus, const std::string& log) {
  sd_bus_slot* slot = nullptr;
  bool owned = false;
  sd_bus_match_signal(
      bus, &slot, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "NameOwnerChanged",
      [](sd_bus_message* m, void* userdata, sd_bus_error*) {
        const char* name = nullptr;
        const char* before = nullptr;
        const char* after = nullptr;
        if (sd_bus_message_read(m, "sss", &name, &before, &after) >= 0 &&
            std::strcmp(name, "org.bluez") == 0 && *after != '\0') {
          *static_cast<bool*>(userdata) = true;
        }
        return 0;
      },
      &owned);
  owned = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                             "org.freedesktop.DBus", "GetNameOwner", nullptr, nullptr, "s",
                             "org.bluez") >= 0;
  const auto giveUp = Clock::now() + kStartPatience;
  while (!owned && Clock::now() < giveUp) {
    if (sd_bus_process(bus, nullptr) > 0) continue;
    sd_bus_wait(bus, 100'000);
  }
  sd_bus_slot_unref(slot);
  if (!owned) fail("python3 -m dbusmock did not take org.bluez: " + fileText(log));
}

}  // namespace

MockBluez::MockBluez() {
  char pattern[] = "/tmp/orvix-bluez-XXXXXX";
  const char* made = ::mkdtemp(pattern);
  if (made == nullptr) fail(std::string("no temporary directory: ") + std::strerror(errno));
  directory_ = made;
  const std::string busLog = directory_ + "/dbus.log";
  const std::string mockLog = directory_ + "/mock.log";

  int printed[2];
  if (::pipe2(printed, O_CLOEXEC) != 0) fail("no pipe");
  busDaemon_ = spawn({"dbus-daemon", "--session", "--nofork", "--nopidfile",
                      "--address=unix:path=" + directory_ + "/bus", "--print-address=3"},
                     busLog, printed[1]);
  ::close(printed[1]);
  try {
    address_ = readAddress(printed[0], busLog);
  } catch (...) {
    ::close(printed[0]);
    stop(busDaemon_);
    throw;
  }
  ::close(printed[0]);

  // Every bus client of this process, the binding under test among them, now finds this bus.
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
  mock_ = spawn({"/usr/bin/python3", "-m", "dbusmock", "--template", "bluez5"}, mockLog);

  if (sd_bus_new(&bus_) < 0 || sd_bus_set_address(bus_, address_.c_str()) < 0 ||
      sd_bus_set_bus_client(bus_, 1) < 0 || sd_bus_start(bus_) < 0) {
    fail("cannot connect to the private bus " + address_);
  }
  awaitBluez(bus_, mockLog);
  sd_bus_error error{};
  if (sd_bus_call_method(bus_, "org.bluez", "/", "org.freedesktop.DBus.Mock", "AddTemplate",
                         &error, nullptr, "sa{sv}", ORVIX_MOCK_RECORDER_TEMPLATE, 0) < 0) {
    const std::string reason = error.message ? error.message : "no reason";
    sd_bus_error_free(&error);
    fail("the recorder could not be added: " + reason + "; " + fileText(mockLog));
  }
}

MockBluez::~MockBluez() {
  if (bus_ != nullptr) sd_bus_flush_close_unref(bus_);
  stop(mock_);
  stop(busDaemon_);
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

void MockBluez::control(const char* method, const char* types, ...) {
  sd_bus_message* call = nullptr;
  sd_bus_error error{};
  int r = sd_bus_message_new_method_call(bus_, &call, "org.bluez", "/", "org.orvix.MockRecorder",
                                         method);
  if (r >= 0 && types != nullptr) {
    va_list arguments;
    va_start(arguments, types);
    r = sd_bus_message_appendv(call, types, arguments);
    va_end(arguments);
  }
  if (r >= 0) r = sd_bus_call(bus_, call, 0, &error, nullptr);
  sd_bus_message_unref(call);
  if (r < 0) {
    const std::string reason = error.message ? error.message : std::strerror(-r);
    sd_bus_error_free(&error);
    fail(std::string(method) + " failed: " + reason);
  }
}

void MockBluez::advertise(int rssi) { control("Advertise", "n", static_cast<std::int16_t>(rssi)); }

void MockBluez::notify(std::string_view characteristic, const std::vector<std::uint8_t>& value) {
  sd_bus_message* call = nullptr;
  sd_bus_error error{};
  const std::string which(characteristic);
  int r = sd_bus_message_new_method_call(bus_, &call, "org.bluez", "/", "org.orvix.MockRecorder",
                                         "Notify");
  if (r >= 0) r = sd_bus_message_append(call, "s", which.c_str());
  if (r >= 0) r = sd_bus_message_append_array(call, 'y', value.data(), value.size());
  if (r >= 0) r = sd_bus_call(bus_, call, 0, &error, nullptr);
  sd_bus_message_unref(call);
  sd_bus_error_free(&error);
  if (r < 0) fail("Notify failed");
}

std::vector<double> MockBluez::notifyBurst(std::string_view characteristic, std::uint32_t count,
                                           std::uint32_t size) {
  const std::string which(characteristic);
  sd_bus_message* reply = nullptr;
  sd_bus_error error{};
  int r = sd_bus_call_method(bus_, "org.bluez", "/", "org.orvix.MockRecorder", "NotifyBurst",
                             &error, &reply, "suu", which.c_str(), count, size);
  sd_bus_error_free(&error);
  if (r < 0) fail("NotifyBurst failed");
  const void* times = nullptr;
  std::size_t bytes = 0;
  r = sd_bus_message_read_array(reply, 'd', &times, &bytes);
  std::vector<double> sent;
  if (r >= 0) {
    const auto* begin = static_cast<const double*>(times);
    sent.assign(begin, begin + bytes / sizeof(double));
  }
  sd_bus_message_unref(reply);
  return sent;
}

void MockBluez::notifyMalformed(std::string_view kind) {
  const std::string which(kind);
  control("NotifyMalformed", "s", which.c_str());
}

void MockBluez::spoofNotification(const std::vector<std::uint8_t>& value) {
  const std::string path = "/org/bluez/hci0/dev_C0_FF_EE_00_00_01/service0010/command";
  sd_bus_message* signal = nullptr;
  int r = sd_bus_message_new_signal(bus_, &signal, path.c_str(),
                                    "org.freedesktop.DBus.Properties", "PropertiesChanged");
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
  const std::string text(state);
  control("SetPowerState", "s", text.c_str());
}

void MockBluez::refuseConnections(bool refuse) {
  control("RefuseConnections", "b", refuse ? 1 : 0);
}

void MockBluez::offerSockets(bool offer) { control("OfferSockets", "b", offer ? 1 : 0); }

std::vector<MockBluez::Write> MockBluez::writes() {
  sd_bus_message* reply = nullptr;
  sd_bus_error error{};
  std::vector<Write> found;
  int r = sd_bus_call_method(bus_, "org.bluez", "/", "org.orvix.MockRecorder", "Writes", &error,
                             &reply, "");
  sd_bus_error_free(&error);
  if (r < 0) fail("Writes failed");
  r = sd_bus_message_enter_container(reply, 'a', "(ays)");
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

}  // namespace orvix::testing
