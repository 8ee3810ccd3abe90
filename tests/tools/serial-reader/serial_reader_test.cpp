// The reader's logic over the real binding, relaying through a real pseudo-terminal, with calls
// counted or refused where a test needs to see or provoke them.
#include "tools/serial-reader/serial_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/serial-reader/command_line.h"
#include "tools/serial-reader/observed_serial_system.h"
#include "tools/serial-reader/port_settings.h"
#include "tools/serial-reader/pty_support.h"
#include "tools/serial-reader/serial_device_names.h"

namespace orvix::serial_reader {
namespace {

using testing::ObservedSerialSystem;
using testing::Pipe;
using testing::PseudoTerminal;

TEST(CommandLineTest, SpeedIsAllDigitsOrZero) {
  EXPECT_EQ(parseBitsPerSecond("115200"), 115200u);
  EXPECT_EQ(parseBitsPerSecond("0009600"), 9600u);
  for (std::string_view notANumber : {"", "12abc", "-1", "+9600", " 9600", "9600 ", "0x10"}) {
    EXPECT_EQ(parseBitsPerSecond(notANumber), 0u) << notANumber;
  }
  EXPECT_EQ(parseBitsPerSecond("99999999999999999999999"), UINT64_MAX);
  EXPECT_EQ(parseBitsPerSecond("99999999999999999999999x"), 0u);
}

class SerialReaderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { std::signal(SIGPIPE, SIG_IGN); }

  ~SerialReaderTest() override {
    input.closeWrite();  // never leave a reader thread waiting
    if (reader.joinable()) reader.join();
  }

  ReaderEnvironment environment() const {
    return ReaderEnvironment{deviceDirectory, input.readEnd, output.writeEnd, error.writeEnd};
  }

  ExitStatus run(std::vector<std::string_view> arguments) {
    return runSerialReader(arguments, system, environment());
  }

  void start(std::vector<std::string_view> arguments) {
    reader = std::thread([this, arguments] { status = run(arguments); });
    const auto ready = testing::readUpTo(error.readEnd, 13);
    ASSERT_EQ(std::string(reinterpret_cast<const char*>(ready.data()), ready.size()),
              "SERIAL_READY\n");
  }

  ExitStatus finish() {
    reader.join();
    return status.value();
  }

  termios expectedAfterExit() const { return settingsToRestore(original); }

  PseudoTerminal pty;
  termios original = pty.slaveSettings();
  Pipe input, output, error;
  ObservedSerialSystem system;
  std::string deviceDirectory{kDeviceDirectory};
  std::thread reader;
  std::optional<ExitStatus> status;
};

TEST_F(SerialReaderTest, UsageErrorsOpenNothing) {
  using Args = std::vector<std::string_view>;
  const std::string withoutDevPrefix = pty.slavePath().substr(5);
  for (const Args& wrong :
       {Args{}, Args{"-l"}, Args{pty.slavePath()}, Args{withoutDevPrefix, "115200"}}) {
    EXPECT_EQ(run(wrong), ExitStatus::kUsage);
  }
  EXPECT_EQ(system.opens, 0);
}

TEST_F(SerialReaderTest, ConfiguresRaw8N1AndRestoresWhenInputCloses) {
  ASSERT_NE(original.c_cflag & HUPCL, 0u);
  start({pty.slavePath(), "115200"});
  ASSERT_TRUE(testing::writeFully(pty.master(), "hello\r\n", 7));
  const auto relayed = testing::readUpTo(output.readEnd, 7);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(relayed.data()), relayed.size()),
            "hello\r\n");
  input.closeWrite();
  EXPECT_EQ(finish(), ExitStatus::kOk);

  EXPECT_TRUE(system.customSpeedRequests.empty());
  ASSERT_EQ(system.appliedSettings.size(), 2u);
  const termios& raw = system.appliedSettings[0];
  EXPECT_EQ(raw.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(raw.c_cflag & (PARENB | CSTOPB | CRTSCTS | HUPCL), 0u);
  EXPECT_EQ(raw.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
  EXPECT_EQ(raw.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(raw.c_iflag & (ICRNL | IXON | ISTRIP), 0u);
  EXPECT_EQ(raw.c_oflag & OPOST, 0u);
  EXPECT_EQ(cfgetispeed(&raw), static_cast<speed_t>(B115200));
  EXPECT_EQ(cfgetospeed(&raw), static_cast<speed_t>(B115200));

  EXPECT_TRUE(testing::sameSettings(pty.slaveSettings(), expectedAfterExit()));
  EXPECT_EQ(system.closes, 1);
}

TEST_F(SerialReaderTest, OtherSpeedsGoThroughTheCustomSpeedRequest) {
  start({pty.slavePath(), "921600"});
  ASSERT_TRUE(testing::writeFully(pty.master(), "x", 1));
  EXPECT_EQ(testing::readUpTo(output.readEnd, 1).size(), 1u);
  ASSERT_TRUE(testing::writeFully(input.writeEnd, "q", 1));  // readable input stops it too
  EXPECT_EQ(finish(), ExitStatus::kOk);
  EXPECT_EQ(system.customSpeedRequests, std::vector<std::uint64_t>{921600});
  EXPECT_TRUE(testing::sameSettings(pty.slaveSettings(), expectedAfterExit()));
}

TEST_F(SerialReaderTest, RefusedSpeedsRestoreAndExitWithStatus5) {
  // "0" and non-numbers must never reach the driver (speed 0 means hang up); a speed too large
  // for the platform's speed type is asked for and refused by the binding.
  struct Case {
    std::string_view speed;
    std::size_t requests;
  };
  for (const Case& c : {Case{"0", 0}, Case{"fast", 0}, Case{"12abc", 0}, Case{"4294967296", 1}}) {
    ObservedSerialSystem fresh;
    EXPECT_EQ(runSerialReader(std::vector<std::string_view>{pty.slavePath(), c.speed}, fresh,
                              environment()),
              ExitStatus::kApplySettingsFailed)
        << c.speed;
    EXPECT_EQ(fresh.customSpeedRequests.size(), c.requests) << c.speed;
    EXPECT_EQ(fresh.closes, 1);
    EXPECT_TRUE(testing::sameSettings(pty.slaveSettings(), expectedAfterExit())) << c.speed;
  }
  EXPECT_EQ(testing::readAll(error.readEnd, std::chrono::milliseconds(0)), "");
}

TEST_F(SerialReaderTest, SettingsFailuresCloseTheDeviceWithTheirStatus) {
  system.failGetAttributes = true;
  EXPECT_EQ(run({pty.slavePath(), "115200"}), ExitStatus::kReadSettingsFailed);
  EXPECT_TRUE(system.appliedSettings.empty());
  EXPECT_EQ(system.closes, 1);

  ObservedSerialSystem refusing;
  refusing.failSetAttributes = true;
  EXPECT_EQ(runSerialReader(std::vector<std::string_view>{pty.slavePath(), "115200"}, refusing,
                            environment()),
            ExitStatus::kApplySettingsFailed);
  ASSERT_EQ(refusing.appliedSettings.size(), 2u);  // the raw settings, then the restore attempt
  EXPECT_TRUE(testing::sameSettings(refusing.appliedSettings[1], expectedAfterExit()));
  EXPECT_EQ(refusing.closes, 1);

  EXPECT_EQ(run({"/dev/orvix-no-such-device", "115200"}), ExitStatus::kOpenFailed);
  EXPECT_EQ(testing::readAll(error.readEnd, std::chrono::milliseconds(0)), "");
}

TEST_F(SerialReaderTest, InterruptedAndEmptyCallsAreRetriedWithoutLosingBytes) {
  system.interruptNextPolls = 2;
  system.emptyNextReads = 1;
  system.interruptNextWrites = 1;
  const auto sent = testing::randomBytes(3000, 7);
  ASSERT_TRUE(testing::writeFully(pty.master(), sent.data(), sent.size()));
  start({pty.slavePath(), "115200"});
  EXPECT_EQ(testing::readUpTo(output.readEnd, sent.size()), sent);
  input.closeWrite();
  EXPECT_EQ(finish(), ExitStatus::kOk);
}

TEST_F(SerialReaderTest, FullNonBlockingOutputIsWaitedForNotDropped) {
  ::fcntl(output.writeEnd, F_SETFL, O_NONBLOCK);
  ::fcntl(output.writeEnd, F_SETPIPE_SZ, 4096);
  const auto sent = testing::randomBytes(512 * 1024, 11);
  start({pty.slavePath(), "115200"});
  std::thread device([&] { testing::writeFully(pty.master(), sent.data(), sent.size()); });
  std::vector<std::byte> received;
  while (received.size() < sent.size()) {  // a consumer much slower than the device
    const auto chunk = testing::readUpTo(output.readEnd,
                                         std::min<std::size_t>(512, sent.size() - received.size()));
    if (chunk.empty()) break;
    received.insert(received.end(), chunk.begin(), chunk.end());
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  device.join();
  EXPECT_EQ(received, sent);
  input.closeWrite();
  EXPECT_EQ(finish(), ExitStatus::kOk);
  EXPECT_GT(system.writesRefusedForRoom, 0);  // the full-output path really ran
}

TEST_F(SerialReaderTest, ListsTheSerialEntriesOfTheDeviceDirectoryInItsOrder) {
  char pattern[] = "/tmp/orvix-serial-list-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  deviceDirectory = pattern;
  // Serial ports as Linux and macOS name them, among entries that are not.
  const std::vector<std::string> names = {"ttyUSB0", "ttyACM1", "ttyS0",   "cu.usbserial-1",
                                          "notes",   "ttyUSB12", "tty.usbserial-1"};
  for (const std::string& name : names) std::ofstream(deviceDirectory + "/" + name).put('\n');
  // Which entries are serial ports is the platform's rule; the listing must apply it in directory
  // order and name each device under /dev.
  std::string expected;
  std::size_t listed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(deviceDirectory)) {
    const std::string name = entry.path().filename();
    if (!isSerialDeviceName(name)) continue;
    expected += "/dev/" + name + "\n";
    ++listed;
  }
  ASSERT_GT(listed, 0u);
  ASSERT_LT(listed, names.size());
  EXPECT_EQ(run({"--list"}), ExitStatus::kOk);
  output.closeWrite();
  EXPECT_EQ(testing::readAll(output.readEnd), expected);

  deviceDirectory = std::string(pattern) + "/notes";  // not a directory
  EXPECT_EQ(run({"--list"}), ExitStatus::kOpenFailed);
  std::filesystem::remove_all(pattern);
  deviceDirectory = pattern;  // gone
  EXPECT_EQ(run({"--list"}), ExitStatus::kOpenFailed);
  EXPECT_EQ(system.opens, 0);
}

}  // namespace
}  // namespace orvix::serial_reader
