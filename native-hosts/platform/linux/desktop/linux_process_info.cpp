#include "platform/linux/desktop/linux_process_info.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <string>

namespace orvix::platform::linux_desktop {

namespace {

// A stat record is a few hundred bytes (the command name is at most 15); anything longer than
// this is not one.
constexpr std::size_t kMaximumStatRecord = 4096;

std::string procPath(ProcessId pid) { return "/proc/" + std::to_string(pid); }

std::optional<std::string> readStatRecord(ProcessId pid) {
  const int fd = ::open((procPath(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string record(kMaximumStatRecord, '\0');
  std::size_t filled = 0;
  while (filled < record.size()) {
    const ssize_t n = ::read(fd, record.data() + filled, record.size() - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    filled += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (filled == 0 || filled == record.size()) return std::nullopt;
  record.resize(filled);
  return record;
}

}  // namespace

std::optional<ProcessId> parentFromStatRecord(std::string_view record) {
  // "<pid> (<comm>) <state> <ppid> ..."
  const std::size_t close = record.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view rest = record.substr(close + 1);
  // One space, the one-letter state, one space, then the parent pid.
  if (rest.size() < 4 || rest[0] != ' ' || rest[1] == ' ' || rest[2] != ' ') return std::nullopt;
  rest.remove_prefix(3);
  ProcessId parent = 0;
  const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), parent);
  if (error != std::errc() || end == rest.data()) return std::nullopt;
  if (end != rest.data() + rest.size() && *end != ' ' && *end != '\n') return std::nullopt;
  if (parent < 0) return std::nullopt;
  return parent;
}

std::optional<ProcessId> LinuxProcessInfo::parentProcessId(ProcessId pid) {
  if (pid <= 0) return std::nullopt;
  const auto record = readStatRecord(pid);
  if (!record) return std::nullopt;
  return parentFromStatRecord(*record);
}

bool LinuxProcessInfo::isAlive(ProcessId pid) {
  if (pid <= 0) return false;
  struct stat info {};
  return ::stat(procPath(pid).c_str(), &info) == 0;
}

ProcessId LinuxProcessInfo::currentProcessId() { return ::getpid(); }

}  // namespace orvix::platform::linux_desktop
