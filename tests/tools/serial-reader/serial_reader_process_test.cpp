// The built orvix-serial-reader as the desktop application runs it: a child process with pipes
// on its standard streams and a pseudo-terminal as the device.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "tools/serial-reader/pty_support.h"

namespace orvix::serial_reader::testing {
namespace {

using orvix::testing::ChildOptions;
using orvix::testing::ChildProcess;
using orvix::testing::ChildResult;

const std::string kProgram = ORVIX_SERIAL_READER_PATH;
const std::string kReady = "SERIAL_READY\n";

std::string text(const std::vector<std::byte>& bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

ChildOptions relayOptions(const std::string& device, const std::string& speed) {
  ChildOptions options;
  options.arguments = {device, speed};
  return options;
}

class SerialReaderProcessTest : public ::testing::Test {
 protected:
  void startRelay(const std::string& speed = "115200", ChildOptions options = {}) {
    options.arguments = {pty.slavePath(), speed};
    reader = std::make_unique<ChildProcess>(kProgram, options);
    ASSERT_TRUE(reader->awaitError(kReady, kPatience));
  }

  PseudoTerminal pty;
  termios original = pty.slaveSettings();
  std::unique_ptr<ChildProcess> reader;
};

TEST_F(SerialReaderProcessTest, RelaysMegabytesExactlyAndRestoresSettingsWhenInputCloses) {
  const auto sent = randomBytes(4 * 1024 * 1024, 1);
  startRelay();
  std::thread device([&] { writeFully(pty.master(), sent.data(), sent.size()); });
  reader->waitForOutput(sent.size(), kPatience);
  device.join();
  EXPECT_TRUE(reader->outputSoFar() == text(sent))
      << "received " << reader->outputSoFar().size() << " of " << sent.size();
  const ChildResult result = reader->finish();  // closes standard input
  EXPECT_EQ(result.exitStatus, 0);
  // Standard error carries the ready line and nothing else, ever.
  EXPECT_EQ(result.standardError, kReady);

  termios expected = original;
  expected.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
  EXPECT_TRUE(sameSettings(pty.slaveSettings(), expected));
}

TEST_F(SerialReaderProcessTest, SlowConsumerLosesNothing) {
  const auto sent = randomBytes(1024 * 1024, 2);
  startRelay("921600");
  std::thread device([&] { writeFully(pty.master(), sent.data(), sent.size()); });
  // Pausing after every pipeful keeps the pipe full, so the device side backs up.
  for (std::size_t pauseAt = 64 * 1024; reader->outputSoFar().size() < sent.size();) {
    if (!reader->waitForOutput(reader->outputSoFar().size() + 1, kPatience)) break;
    if (reader->outputSoFar().size() >= pauseAt) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      pauseAt += 64 * 1024;
    }
  }
  device.join();
  EXPECT_TRUE(reader->outputSoFar() == text(sent))
      << "received " << reader->outputSoFar().size() << " of " << sent.size();
  EXPECT_EQ(reader->finish().exitStatus, 0);
}

TEST_F(SerialReaderProcessTest, InputAlreadyClosedAtStartEndsWithStatus0) {
  ChildOptions options = relayOptions(pty.slavePath(), "115200");
  options.closeStandardInput = true;
  const ChildResult result = orvix::testing::runChild(kProgram, options);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.standardError, kReady);
}

TEST_F(SerialReaderProcessTest, HangUpEndsWithStatus6) {
  startRelay();
  pty.hangUp();
  EXPECT_EQ(reader->waitForExit(kPatience), 6);
  EXPECT_EQ(reader->finish().standardError, kReady);
}

TEST_F(SerialReaderProcessTest, RefusalsExitWithTheirStatusAndSayNothing) {
  struct Case {
    std::vector<std::string> arguments;
    int status;
  };
  const std::vector<Case> cases = {
      {{}, 2},
      {{"--lis"}, 2},
      {{pty.slavePath()}, 2},
      {{"/dev/x", "115200", "extra"}, 2},
      {{pty.slavePath().substr(1), "115200"}, 2},
      {{"/dev/orvix-no-such-device", "115200"}, 3},
      {{"/dev/null", "115200"}, 4},  // not a terminal: its settings cannot be read
      {{pty.slavePath(), "0"}, 5},
  };
  for (const Case& c : cases) {
    ChildOptions options;
    options.arguments = c.arguments;
    ChildProcess child(kProgram, options);
    // Standard input stays open: the refusal comes before the relay would look at it.
    EXPECT_EQ(child.waitForExit(kPatience), c.status) << ::testing::PrintToString(c.arguments);
    const ChildResult result = child.finish();
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_EQ(result.standardError, "");
  }
}

TEST_F(SerialReaderProcessTest, ClosedStandardOutputEndsWithStatus7) {
  // Closed descriptor: the device must not slip into its place and receive its own bytes back.
  ChildOptions closedOutput;
  closedOutput.closeStandardOutput = true;
  startRelay("115200", closedOutput);
  ASSERT_TRUE(writeFully(pty.master(), "ping", 4));
  EXPECT_EQ(reader->waitForExit(kPatience), 7);
  ::fcntl(pty.master(), F_SETFL, O_NONBLOCK);
  char echoed;
  EXPECT_EQ(::read(pty.master(), &echoed, 1), -1);

  // A consumer that went away.
  ChildOptions quiet = relayOptions(pty.slavePath(), "115200");
  quiet.closeStandardError = true;
  ChildProcess child(kProgram, quiet);
  child.stopReadingOutput();
  ASSERT_TRUE(writeFully(pty.master(), "ping", 4));
  EXPECT_EQ(child.waitForExit(kPatience), 7);
}

}  // namespace
}  // namespace orvix::serial_reader::testing
