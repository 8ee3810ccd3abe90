#pragma once

// Runs a program as the desktop application does: arguments, environment, pipes on the three
// standard streams (or a closed or redirected stream), input fed as it chooses, the output and
// the exit status at the end. Every wait has a deadline: a child that hangs is killed and its
// test fails, instead of the test runner's time-out taking the whole test program down.
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace orvix::testing {

// Shorter than a test program's own time-out, so that a hung child is reported by its test.
inline constexpr std::chrono::milliseconds kChildPatience = std::chrono::seconds(60);

// Variables to set (a value) or unset (none) in the child's copy of this process's environment.
using EnvironmentChanges = std::vector<std::pair<std::string, std::optional<std::string>>>;

struct ChildOptions {
  std::vector<std::string> arguments;  // without the program
  EnvironmentChanges environment;
  bool closeStandardInput = false;
  bool closeStandardOutput = false;
  bool closeStandardError = false;
  std::string standardOutputPath;  // when set, standard output goes to this file instead of a pipe
  // The runner keeps a reader on the input pipe, so that what the child left unread can be
  // counted (ChildResult::unreadInput). Writes then never fail for want of a reader: the input
  // given before the child exits must fit the pipe.
  bool countUnreadInput = false;
  // Standard error goes to a pipe of one page that nobody reads: a parent that stopped reading
  // it. (Its read end stays open, so writes block rather than fail.)
  bool stallStandardError = false;
};

struct ChildResult {
  int exitStatus = -1;  // -1 when the child was killed by a signal, or at a deadline
  std::string standardOutput;
  std::string standardError;
  std::size_t unreadInput = 0;  // with countUnreadInput: input bytes still in the pipe at the end
};

class ChildProcess {
 public:
  // `program` is looked up on PATH when it has no "/". Throws when it cannot be started.
  ChildProcess(const std::string& program, const ChildOptions& options);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Feeds bytes to standard input, reading the child's output only when the child must be
  // unblocked to take more: a test that never reads sees a reader that never reads. False when
  // the child stopped reading (or exited) first, or the deadline passed.
  bool writeInput(std::string_view bytes, std::chrono::milliseconds timeout = kChildPatience);
  bool sendLine(std::string_view line, std::chrono::milliseconds timeout = kChildPatience);
  void closeInput();
  // Closes this side of standard output: the child's next write fails, as when its reader went
  // away.
  void stopReadingOutput();

  // Reads standard output until `count` bytes arrived in total; false at the deadline or end.
  bool waitForOutput(std::size_t count, std::chrono::milliseconds timeout = kChildPatience);
  // Reads until `needle` has appeared `times` times on standard output (or, for awaitError, once
  // on standard error); false at the deadline or at the stream's end.
  bool awaitOutput(std::string_view needle, std::chrono::milliseconds timeout = kChildPatience,
                   std::size_t times = 1);
  bool awaitError(std::string_view needle, std::chrono::milliseconds timeout = kChildPatience);
  // Reads whatever comes for `duration`.
  void readFor(std::chrono::milliseconds duration);
  const std::string& outputSoFar() const { return output_; }
  const std::string& errorSoFar() const { return errors_; }

  // Waits for the exit without closing standard input; the status, or nothing at the deadline.
  // `leaveOutputUnread` waits without reading, for tests of a child whose reader stalled.
  enum class Reading { drainOutput, leaveOutputUnread };
  std::optional<int> waitForExit(std::chrono::milliseconds timeout = kChildPatience,
                                 Reading reading = Reading::drainOutput);

  // Closes standard input, collects everything, and waits for the exit; a child still running
  // at the deadline is killed.
  ChildResult finish(std::chrono::milliseconds timeout = kChildPatience);

 private:
  enum class Stream { output, error };
  bool awaitText(Stream stream, std::string_view needle, std::size_t times,
                 std::chrono::milliseconds timeout);
  void pump(int timeoutMs);
  bool reaped();

  int pid_ = -1;
  std::optional<int> exitStatus_;
  int input_ = -1;
  int inputReader_ = -1;  // kept only with countUnreadInput
  int output_fd_ = -1;
  int error_ = -1;
  int stalledError_ = -1;  // the read end of a standard error nobody reads
  std::string output_;
  std::string errors_;
};

// The usual case: all of `input` on standard input, then the result.
ChildResult runChild(const std::string& program, const ChildOptions& options,
                     std::string_view input = {});

}  // namespace orvix::testing
