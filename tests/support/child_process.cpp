#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace orvix::testing {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> childEnvironment(const ChildOptions& options) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    const std::string name = text.substr(0, text.find('='));
    bool overridden = false;
    for (const auto& [key, value] : options.environment) overridden |= key == name;
    if (!overridden) result.push_back(text);
  }
  for (const auto& [key, value] : options.environment) {
    if (value) result.push_back(key + "=" + *value);
  }
  return result;
}

void makePipe(int fds[2]) {
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
}

void closeDescriptor(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Milliseconds left until `deadline`, at most `slice`: waits stay short enough to notice the
// child's exit and the deadline.
int sliceUntil(Clock::time_point deadline, int slice) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, slice));
}

// Spawning rather than forking: the tests run threads (emulators, device writers), and a forked
// copy of a threaded process may only call what is safe after fork until it executes.
class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;

  void use(int fd, int target) { posix_spawn_file_actions_adddup2(&actions_, fd, target); }
  void closed(int target) { posix_spawn_file_actions_addclose(&actions_, target); }
  void file(int target, const std::string& path, int flags) {
    posix_spawn_file_actions_addopen(&actions_, target, path.c_str(), flags, 0644);
  }
  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const ChildOptions& options) {
  // A child that exits before reading all its input (a usage error, a failed engine) must show up
  // as a failed write here, not kill the test.
  signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  makePipe(in);
  makePipe(out);
  makePipe(err);
  if (options.stallStandardError) fcntl(err[1], F_SETPIPE_SZ, 4096);

  SpawnActions actions;
  if (options.closeStandardInput) {
    actions.closed(0);
  } else {
    actions.use(in[0], 0);
  }
  if (options.closeStandardOutput) {
    actions.closed(1);
  } else if (!options.standardOutputPath.empty()) {
    actions.file(1, options.standardOutputPath, O_WRONLY | O_CREAT | O_TRUNC);
  } else {
    actions.use(out[1], 1);
  }
  if (options.closeStandardError) {
    actions.closed(2);
  } else {
    actions.use(err[1], 2);
  }

  std::vector<std::string> argumentStrings{program};
  argumentStrings.insert(argumentStrings.end(), options.arguments.begin(), options.arguments.end());
  std::vector<char*> argv;
  for (auto& a : argumentStrings) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> environmentStrings = childEnvironment(options);
  std::vector<char*> envp;
  for (auto& e : environmentStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_t pid = -1;
  const int failed =
      posix_spawnp(&pid, program.c_str(), actions.get(), nullptr, argv.data(), envp.data());
  close(out[1]);
  close(err[1]);
  if (failed != 0) {
    for (int fd : {in[0], in[1], out[0], err[0]}) close(fd);
    throw std::runtime_error("cannot start " + program + ": " + std::strerror(failed));
  }
  pid_ = pid;
  input_ = in[1];
  output_fd_ = out[0];
  if (options.stallStandardError) {
    stalledError_ = err[0];
  } else {
    error_ = err[0];
  }
  if (options.countUnreadInput) {
    inputReader_ = in[0];
  } else {
    close(in[0]);
  }
  // Never blocks a test on a full pipe: writeInput waits in poll, where it can keep a deadline.
  fcntl(input_, F_SETFL, fcntl(input_, F_GETFL) | O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !exitStatus_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  for (int* fd : {&input_, &inputReader_, &output_fd_, &error_, &stalledError_}) closeDescriptor(*fd);
}

bool ChildProcess::reaped() {
  if (exitStatus_) return true;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
  exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return true;
}

bool ChildProcess::writeInput(std::string_view bytes, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!bytes.empty()) {
    if (input_ < 0) return false;
    const ssize_t n = write(input_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;  // the child stopped reading
    if (reaped() || Clock::now() > deadline) return false;
    // The pipe is full: the child may itself be waiting for its output to be read.
    pollfd fds[3] = {{input_, POLLOUT, 0}, {output_fd_, POLLIN, 0}, {error_, POLLIN, 0}};
    if (poll(fds, 3, sliceUntil(deadline, 100)) < 0 && errno != EINTR) return false;
    if (fds[0].revents & (POLLERR | POLLHUP)) return false;
    if (!(fds[0].revents & POLLOUT) && ((fds[1].revents | fds[2].revents) != 0)) pump(0);
  }
  return true;
}

bool ChildProcess::sendLine(std::string_view line, std::chrono::milliseconds timeout) {
  std::string bytes(line);
  bytes.push_back('\n');
  return writeInput(bytes, timeout);
}

void ChildProcess::closeInput() { closeDescriptor(input_); }

void ChildProcess::stopReadingOutput() { closeDescriptor(output_fd_); }

void ChildProcess::pump(int timeoutMs) {
  pollfd fds[2] = {{output_fd_, POLLIN, 0}, {error_, POLLIN, 0}};
  if (poll(fds, 2, timeoutMs) <= 0) return;
  char buffer[65536];
  int* descriptors[2] = {&output_fd_, &error_};
  std::string* sinks[2] = {&output_, &errors_};
  for (int i = 0; i < 2; ++i) {
    if (*descriptors[i] < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    const ssize_t n = read(*descriptors[i], buffer, sizeof buffer);
    if (n > 0) {
      sinks[i]->append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      closeDescriptor(*descriptors[i]);
    }
  }
}

bool ChildProcess::waitForOutput(std::size_t count, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (output_.size() < count && output_fd_ >= 0 && Clock::now() <= deadline) {
    pump(sliceUntil(deadline, 50));
  }
  return output_.size() >= count;
}

bool ChildProcess::awaitOutput(std::string_view needle, std::chrono::milliseconds timeout,
                               std::size_t times) {
  return awaitText(Stream::output, needle, times, timeout);
}

bool ChildProcess::awaitError(std::string_view needle, std::chrono::milliseconds timeout) {
  return awaitText(Stream::error, needle, 1, timeout);
}

bool ChildProcess::awaitText(Stream stream, std::string_view needle, std::size_t times,
                             std::chrono::milliseconds timeout) {
  const std::string& text = stream == Stream::output ? output_ : errors_;
  const int& fd = stream == Stream::output ? output_fd_ : error_;
  const auto deadline = Clock::now() + timeout;
  std::size_t found = 0;
  std::size_t from = 0;  // text before this was searched already
  for (;;) {
    for (auto at = text.find(needle, from); at != std::string::npos; at = text.find(needle, from)) {
      ++found;
      from = at + 1;
    }
    if (text.size() >= needle.size()) from = std::max(from, text.size() - needle.size() + 1);
    if (found >= times) return true;
    if (fd < 0 || Clock::now() > deadline) return false;
    pump(sliceUntil(deadline, 50));
  }
}

void ChildProcess::readFor(std::chrono::milliseconds duration) {
  const auto deadline = Clock::now() + duration;
  while (Clock::now() < deadline) pump(sliceUntil(deadline, 20));
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds timeout, Reading reading) {
  const auto deadline = Clock::now() + timeout;
  while (!reaped()) {
    if (Clock::now() > deadline) return std::nullopt;
    if (reading == Reading::drainOutput) {
      pump(sliceUntil(deadline, 20));
    } else {
      poll(nullptr, 0, sliceUntil(deadline, 5));
    }
  }
  return exitStatus_;
}

ChildResult ChildProcess::finish(std::chrono::milliseconds timeout) {
  closeInput();
  const auto deadline = Clock::now() + timeout;
  while (!(reaped() && output_fd_ < 0 && error_ < 0)) {
    if (Clock::now() > deadline) {
      if (!exitStatus_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
      }
      exitStatus_ = -1;
      break;
    }
    pump(sliceUntil(deadline, 20));
  }
  ChildResult result;
  result.exitStatus = *exitStatus_;
  result.standardOutput = std::move(output_);
  result.standardError = std::move(errors_);
  int unread = 0;
  if (inputReader_ >= 0 && ioctl(inputReader_, FIONREAD, &unread) == 0) {
    result.unreadInput = static_cast<std::size_t>(unread);
  }
  return result;
}

ChildResult runChild(const std::string& program, const ChildOptions& options,
                     std::string_view input) {
  ChildProcess child(program, options);
  child.writeInput(input);
  return child.finish();
}

}  // namespace orvix::testing
