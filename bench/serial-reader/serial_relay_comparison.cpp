// orvix-serial-reader side by side with socat: both relay the same kind of raw pseudo-terminal to
// a pipe read by the same consumer, in the same run. Reports throughput, the latency from a write
// on the device side to the bytes on the relay's standard output, and the processor time a relay
// spends while the device stays idle for a second.
//
// Usage: serial_relay_comparison READER_PATH [MEBIBYTES_PER_ROUND] [LATENCY_SAMPLES]
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPatienceMilliseconds = 20000;

struct Tool {
  std::string program;
  std::vector<std::string> argumentsBeforeDevice;
  std::string devicePrefix;  // the device argument is prefix + pty path + suffix
  std::string deviceSuffix;
  std::vector<std::string> argumentsAfterDevice;
  bool stopsWhenInputCloses = false;  // otherwise it is stopped with SIGTERM
};

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

void writeFully(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    check(n > 0, "write to device");
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

// Reads exactly size bytes (discarding them into buffer) or throws after a long silence.
void readExactly(int fd, std::vector<char>& buffer, std::size_t size) {
  while (size > 0) {
    pollfd descriptor{fd, POLLIN, 0};
    const int ready = ::poll(&descriptor, 1, kPatienceMilliseconds);
    if (ready < 0 && errno == EINTR) continue;
    check(ready > 0, "relay output stalled");
    const ssize_t n = ::read(fd, buffer.data(), std::min(buffer.size(), size));
    if (n < 0 && errno == EINTR) continue;
    check(n > 0, "relay output ended");
    size -= static_cast<std::size_t>(n);
  }
}

// One relay process on a pseudo-terminal of its own.
class RunningRelay {
 public:
  explicit RunningRelay(const Tool& tool) : tool_(tool) {
    char name[128] = {};
    check(::openpty(&master_, &slave_, name, nullptr, nullptr) == 0, "openpty");
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    // Both relays start from the same raw 115200 port.
    termios settings{};
    ::tcgetattr(slave_, &settings);
    ::cfmakeraw(&settings);
    ::cfsetspeed(&settings, B115200);
    ::tcsetattr(slave_, TCSANOW, &settings);

    int input[2], output[2];
    check(::pipe2(input, O_CLOEXEC) == 0 && ::pipe2(output, O_CLOEXEC) == 0, "pipe");
    inputWrite_ = input[1];
    outputRead_ = output[0];

    std::vector<std::string> arguments{tool.program};
    arguments.insert(arguments.end(), tool.argumentsBeforeDevice.begin(),
                     tool.argumentsBeforeDevice.end());
    arguments.push_back(tool.devicePrefix + name + tool.deviceSuffix);
    arguments.insert(arguments.end(), tool.argumentsAfterDevice.begin(),
                     tool.argumentsAfterDevice.end());
    std::vector<char*> argv;
    for (auto& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int failed =
        posix_spawnp(&pid_, tool.program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    ::close(output[1]);
    check(failed == 0, "spawn relay");

    // A probe byte proves the relay has the port open and is copying.
    buffer_.resize(1 << 16);
    writeFully(master_, "p", 1);
    readExactly(outputRead_, buffer_, 1);
  }

  ~RunningRelay() {
    if (pid_ > 0) stop();
    ::close(master_);
    ::close(slave_);
    ::close(outputRead_);
  }

  double megabytesPerSecond(std::size_t bytes) {
    std::vector<char> data(1 << 16);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + 7);
    const auto start = Clock::now();
    std::thread device([&] {
      for (std::size_t left = bytes; left > 0;) {
        const std::size_t n = std::min(left, data.size());
        writeFully(master_, data.data(), n);
        left -= n;
      }
    });
    readExactly(outputRead_, buffer_, bytes);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    device.join();
    return static_cast<double>(bytes) / seconds / 1e6;
  }

  // Microseconds from writing a 16-byte message on the device side to reading all of it.
  std::vector<double> latencies(int samples) {
    std::vector<double> micros;
    const char message[16] = {'l', 'a', 't', 'e', 'n', 'c', 'y', '-', 'p', 'r', 'o', 'b', 'e'};
    for (int i = 0; i < samples; ++i) {
      const auto start = Clock::now();
      writeFully(master_, message, sizeof message);
      readExactly(outputRead_, buffer_, sizeof message);
      micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    return micros;
  }

  // Ends the relay the way its user would and returns the processor time it used, in ms.
  double stop() {
    if (tool_.stopsWhenInputCloses) {
      ::close(inputWrite_);
    } else {
      ::kill(pid_, SIGTERM);
      ::close(inputWrite_);
    }
    int status = 0;
    rusage usage{};
    while (::wait4(pid_, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    const auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
  }

 private:
  Tool tool_;
  int master_ = -1;
  int slave_ = -1;
  int inputWrite_ = -1;
  int outputRead_ = -1;
  pid_t pid_ = -1;
  std::vector<char> buffer_;
};

double percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
  return values[index];
}

double median(std::vector<double> values) { return percentile(std::move(values), 0.5); }

struct Results {
  double megabytesPerSecond = 0;
  double cpuMillisecondsPerMegabyte = 0;
  double latencyMedian = 0;
  double latencyP99 = 0;
  double idleMilliseconds = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s READER_PATH [MEBIBYTES_PER_ROUND] [LATENCY_SAMPLES]\n",
                 argv[0]);
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  const std::string reader = argv[1];
  const std::size_t mebibytes = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 16;
  const int samples = argc > 3 ? std::atoi(argv[3]) : 2000;
  constexpr int kRounds = 5;

  const std::vector<Tool> tools = {
      {reader, {}, "", "", {"115200"}, true},
      // socat in its own raw mode on the same kind of port, copying one way to standard output.
      {"socat", {"-u"}, "OPEN:", ",rawer", {"STDOUT"}, false},
  };

  try {
    std::vector<Results> results(tools.size());
    std::vector<std::vector<double>> rates(tools.size()), cpuPerMegabyte(tools.size()),
        latencies(tools.size());
    // Rounds alternate between the tools so that background load hits both alike.
    for (int round = 0; round < kRounds; ++round) {
      for (std::size_t t = 0; t < tools.size(); ++t) {
        {
          RunningRelay relay(tools[t]);
          rates[t].push_back(relay.megabytesPerSecond(mebibytes << 20));
          const double megabytes = static_cast<double>(mebibytes << 20) / 1e6;
          cpuPerMegabyte[t].push_back(relay.stop() / megabytes);
        }
        RunningRelay relay(tools[t]);
        const auto l = relay.latencies(samples / kRounds);
        latencies[t].insert(latencies[t].end(), l.begin(), l.end());
      }
    }
    for (std::size_t t = 0; t < tools.size(); ++t) {
      RunningRelay relay(tools[t]);
      std::this_thread::sleep_for(std::chrono::seconds(1));
      results[t].idleMilliseconds = relay.stop();
      results[t].megabytesPerSecond = median(rates[t]);
      results[t].cpuMillisecondsPerMegabyte = median(cpuPerMegabyte[t]);
      results[t].latencyMedian = median(latencies[t]);
      results[t].latencyP99 = percentile(latencies[t], 0.99);
    }

    const Results& ours = results[0];
    const Results& peer = results[1];
    std::printf(
        "serial relay through a raw pseudo-terminal: %zu MiB x %d rounds, %d latency samples\n",
        mebibytes, kRounds, samples / kRounds * kRounds);
    std::printf("%-30s %20s %12s %10s\n", "", "orvix-serial-reader", "socat", "ours/socat");
    std::printf("%-30s %20.1f %12.1f %9.2fx\n", "throughput (MB/s, median)",
                ours.megabytesPerSecond, peer.megabytesPerSecond,
                ours.megabytesPerSecond / peer.megabytesPerSecond);
    std::printf("%-30s %20.2f %12.2f %9.2fx\n", "relay CPU per MB (ms, median)",
                ours.cpuMillisecondsPerMegabyte, peer.cpuMillisecondsPerMegabyte,
                ours.cpuMillisecondsPerMegabyte / peer.cpuMillisecondsPerMegabyte);
    std::printf("%-30s %20.1f %12.1f %+9.1f\n", "latency median (us)", ours.latencyMedian,
                peer.latencyMedian, ours.latencyMedian - peer.latencyMedian);
    std::printf("%-30s %20.1f %12.1f %+9.1f\n", "latency p99 (us)", ours.latencyP99,
                peer.latencyP99, ours.latencyP99 - peer.latencyP99);
    std::printf("%-30s %20.1f %12.1f\n", "CPU while idle 1 s (ms)*", ours.idleMilliseconds,
                peer.idleMilliseconds);
    std::printf("* whole run of a relay that starts, idles 1 s and stops, start-up included\n");
    const bool throughputMet = ours.megabytesPerSecond >= peer.megabytesPerSecond;
    const bool latencyMet = ours.latencyP99 <= peer.latencyP99 + 50.0;
    std::printf("goal throughput >= 1.0x socat: %s;  goal p99 <= socat + 50 us: %s\n",
                throughputMet ? "met" : "NOT met", latencyMet ? "met" : "NOT met");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "serial_relay_comparison: %s\n", e.what());
    return 1;
  }
  return 0;
}
