#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace orvix::testing {
namespace {

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

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const ChildOptions& options) {
  // A child that exits before reading all its input (a usage error, a failed engine) must show up
  // as a failed write here, not kill the test.
  signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  makePipe(in);
  makePipe(out);
  makePipe(err);

  std::vector<std::string> argumentStrings{program};
  argumentStrings.insert(argumentStrings.end(), options.arguments.begin(), options.arguments.end());
  std::vector<char*> argv;
  for (auto& a : argumentStrings) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> environmentStrings = childEnvironment(options);
  std::vector<char*> envp;
  for (auto& e : environmentStrings) envp.push_back(e.data());
  envp.push_back(nullptr);

  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    if (options.closeStandardInput) {
      close(0);
    } else if (!options.standardInputPath.empty()) {
      const int fd = open(options.standardInputPath.c_str(), O_RDONLY);
      if (fd < 0 || dup2(fd, 0) < 0) _exit(126);
    } else {
      dup2(in[0], 0);
    }
    if (options.closeStandardOutput) {
      close(1);
    } else if (!options.standardOutputPath.empty()) {
      const int fd = open(options.standardOutputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0 || dup2(fd, 1) < 0) _exit(126);
    } else {
      dup2(out[1], 1);
    }
    dup2(err[1], 2);
    execvpe(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  input_ = in[1];
  output_fd_ = out[0];
  error_ = err[0];
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  for (int fd : {input_, output_fd_, error_}) {
    if (fd >= 0) close(fd);
  }
}

void ChildProcess::writeInput(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    // Keep draining the child's output so that neither side blocks on a full pipe.
    pollfd fds[3] = {{input_, POLLOUT, 0}, {output_fd_, POLLIN, 0}, {error_, POLLIN, 0}};
    if (poll(fds, 3, 1000) < 0 && errno != EINTR) throw std::runtime_error("poll");
    if (fds[0].revents & (POLLERR | POLLHUP)) return;  // the child stopped reading
    if (fds[0].revents & POLLOUT) {
      const std::size_t chunk = std::min<std::size_t>(bytes.size() - done, 4096);
      const ssize_t n = write(input_, bytes.data() + done, chunk);
      if (n < 0 && errno != EINTR && errno != EAGAIN) return;
      if (n > 0) done += static_cast<std::size_t>(n);
    }
    if ((fds[1].revents | fds[2].revents) & (POLLIN | POLLHUP)) pump(0);
  }
}

void ChildProcess::closeInput() {
  if (input_ >= 0) close(input_);
  input_ = -1;
}

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
      close(*descriptors[i]);
      *descriptors[i] = -1;
    }
  }
}

bool ChildProcess::waitForOutput(std::size_t count, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (output_.size() < count && output_fd_ >= 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    pump(50);
  }
  return output_.size() >= count;
}

ChildResult ChildProcess::finish(std::chrono::milliseconds timeout) {
  closeInput();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  bool exited = false;
  while (true) {
    pump(20);
    if (!exited) exited = waitpid(pid_, &status, WNOHANG) == pid_;
    if (exited && output_fd_ < 0 && error_ < 0) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      if (!exited) waitpid(pid_, &status, 0);
      exited = true;
      break;
    }
  }
  pid_ = -1;
  ChildResult result;
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.standardOutput = std::move(output_);
  result.standardError = std::move(errors_);
  return result;
}

ChildResult runChild(const std::string& program, const ChildOptions& options,
                     const std::string& input) {
  ChildProcess child(program, options);
  child.writeInput(input);
  return child.finish();
}

}  // namespace orvix::testing
