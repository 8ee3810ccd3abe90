// The built orvix-serial-reader as the desktop application runs it: a child process with pipes
// on its standard streams and a pseudo-terminal as the device.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "tools/serial-reader/pty_support.h"

namespace orvix::serial_reader::testing {
namespace {

constexpr int kClosed = -1;

// Starts the reader with the given descriptors as its standard streams; kClosed leaves that
// stream closed in the child.
pid_t spawnReader(const std::vector<std::string>& arguments, int input, int output, int error) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const int streams[3] = {input, output, error};
  for (int target = 0; target < 3; ++target) {
    if (streams[target] == kClosed) {
      posix_spawn_file_actions_addclose(&actions, target);
    } else {
      posix_spawn_file_actions_adddup2(&actions, streams[target], target);
    }
  }
  std::vector<char*> argv;
  std::string program = ORVIX_SERIAL_READER_PATH;
  argv.push_back(program.data());
  std::vector<std::string> copies = arguments;
  for (auto& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return failed == 0 ? pid : -1;
}

int exitStatusOf(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string text(const std::vector<std::byte>& bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

class SerialReaderProcessTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { std::signal(SIGPIPE, SIG_IGN); }

  void startRelay(const std::string& speed = "115200") {
    pid = spawnReader({pty.slavePath(), speed}, input.readEnd, output.writeEnd, error.writeEnd);
    ASSERT_GT(pid, 0);
    closeChildEnds();
    ASSERT_EQ(text(readUpTo(error.readEnd, 13)), "SERIAL_READY\n");
  }

  void closeChildEnds() {
    input.closeRead();
    output.closeWrite();
    error.closeWrite();
  }

  // Standard error must carry the ready line and nothing else, ever.
  void expectErrorStreamClean(const std::string& alreadyRead = "SERIAL_READY\n") {
    EXPECT_EQ(alreadyRead + readAll(error.readEnd), "SERIAL_READY\n");
  }

  PseudoTerminal pty;
  termios original = pty.slaveSettings();
  Pipe input, output, error;
  pid_t pid = -1;
};

TEST_F(SerialReaderProcessTest, RelaysMegabytesExactlyAndRestoresSettingsWhenInputCloses) {
  const auto sent = randomBytes(4 * 1024 * 1024, 1);
  startRelay();
  std::thread device([&] { writeFully(pty.master(), sent.data(), sent.size()); });
  const auto received = readUpTo(output.readEnd, sent.size());
  device.join();
  EXPECT_TRUE(received == sent) << "received " << received.size() << " of " << sent.size();
  input.closeWrite();
  EXPECT_EQ(exitStatusOf(pid), 0);
  expectErrorStreamClean();

  termios expected = original;
  expected.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
  EXPECT_TRUE(sameSettings(pty.slaveSettings(), expected));
}

TEST_F(SerialReaderProcessTest, SlowConsumerLosesNothing) {
  const auto sent = randomBytes(1024 * 1024, 2);
  startRelay("921600");
  std::thread device([&] { writeFully(pty.master(), sent.data(), sent.size()); });
  std::vector<std::byte> received;
  while (received.size() < sent.size()) {
    // Pausing between small reads keeps the pipe full, so the device side backs up.
    const auto chunk =
        readUpTo(output.readEnd, std::min<std::size_t>(4096, sent.size() - received.size()));
    if (chunk.empty()) break;
    received.insert(received.end(), chunk.begin(), chunk.end());
    if (received.size() % (64 * 1024) < 4096)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  device.join();
  EXPECT_TRUE(received == sent) << "received " << received.size() << " of " << sent.size();
  input.closeWrite();
  EXPECT_EQ(exitStatusOf(pid), 0);
}

TEST_F(SerialReaderProcessTest, InputAlreadyClosedAtStartEndsWithStatus0) {
  pid = spawnReader({pty.slavePath(), "115200"}, kClosed, output.writeEnd, error.writeEnd);
  ASSERT_GT(pid, 0);
  closeChildEnds();
  EXPECT_EQ(exitStatusOf(pid), 0);
  expectErrorStreamClean("");
}

TEST_F(SerialReaderProcessTest, HangUpEndsWithStatus6) {
  startRelay();
  pty.hangUp();
  EXPECT_EQ(exitStatusOf(pid), 6);
  expectErrorStreamClean();
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
    Pipe out, err;
    const pid_t child = spawnReader(c.arguments, input.readEnd, out.writeEnd, err.writeEnd);
    ASSERT_GT(child, 0);
    out.closeWrite();
    err.closeWrite();
    EXPECT_EQ(exitStatusOf(child), c.status) << ::testing::PrintToString(c.arguments);
    EXPECT_EQ(readAll(out.readEnd), "");
    EXPECT_EQ(readAll(err.readEnd), "");
  }
}

TEST_F(SerialReaderProcessTest, ClosedStandardOutputEndsWithStatus7) {
  // Closed descriptor: the device must not slip into its place and receive its own bytes back.
  pid = spawnReader({pty.slavePath(), "115200"}, input.readEnd, kClosed, error.writeEnd);
  ASSERT_GT(pid, 0);
  closeChildEnds();
  ASSERT_EQ(text(readUpTo(error.readEnd, 13)), "SERIAL_READY\n");
  ASSERT_TRUE(writeFully(pty.master(), "ping", 4));
  EXPECT_EQ(exitStatusOf(pid), 7);
  ::fcntl(pty.master(), F_SETFL, O_NONBLOCK);
  char echoed;
  EXPECT_EQ(::read(pty.master(), &echoed, 1), -1);

  // A consumer that went away.
  Pipe in, out;
  out.closeRead();
  const pid_t child = spawnReader({pty.slavePath(), "115200"}, in.readEnd, out.writeEnd, kClosed);
  ASSERT_GT(child, 0);
  out.closeWrite();
  ASSERT_TRUE(writeFully(pty.master(), "ping", 4));
  EXPECT_EQ(exitStatusOf(child), 7);
}

}  // namespace
}  // namespace orvix::serial_reader::testing
