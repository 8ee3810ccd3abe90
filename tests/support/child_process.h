#pragma once

// Runs a program as the desktop application does: arguments, environment, pipes on the three
// standard streams (or a closed or redirected stream), the exit status at the end.
#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orvix::testing {

struct ChildOptions {
  std::vector<std::string> arguments;  // without the program
  std::vector<std::pair<std::string, std::optional<std::string>>> environment;  // set, or unset
  bool closeStandardInput = false;
  bool closeStandardOutput = false;
  std::string standardOutputPath;  // when set, standard output goes to this file instead of a pipe
  std::string standardInputPath;   // when set, standard input comes from this file
};

struct ChildResult {
  int exitStatus = -1;  // -1 when the child was killed by a signal
  std::string standardOutput;
  std::string standardError;
};

class ChildProcess {
 public:
  // `program` is looked up on PATH when it has no "/".
  ChildProcess(const std::string& program, const ChildOptions& options);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void writeInput(const std::string& bytes);
  void closeInput();
  // Reads standard output until `count` bytes arrived in total; false on timeout or end.
  bool waitForOutput(std::size_t count, std::chrono::milliseconds timeout);
  const std::string& outputSoFar() const { return output_; }
  // Closes standard input, collects everything, and waits for the exit.
  ChildResult finish(std::chrono::milliseconds timeout = std::chrono::seconds(120));

 private:
  void pump(int timeoutMs);

  int pid_ = -1;
  int input_ = -1;
  int output_fd_ = -1;
  int error_ = -1;
  std::string output_;
  std::string errors_;
};

// The usual case: all of `input` on standard input, then the result.
ChildResult runChild(const std::string& program, const ChildOptions& options,
                     const std::string& input = {});

}  // namespace orvix::testing
