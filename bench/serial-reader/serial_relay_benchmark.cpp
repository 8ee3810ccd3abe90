// The relay loop's own cost per chunk: a device that always has bytes and an output that always
// takes them, both in memory, so only the loop's bookkeeping (wait set-up, read, full write)
// is measured. The pseudo-terminal and pipe costs are in serial_relay_comparison.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "tools/serial-reader/serial_relay.h"

namespace orvix::serial_reader {
namespace {

constexpr int kDevice = 10;
constexpr int kInput = 0;
constexpr int kOutput = 1;

class InMemorySystem : public SerialSystem {
 public:
  InMemorySystem(std::size_t chunkBytes, std::size_t chunks) : chunk_(chunkBytes), left_(chunks) {}

  int openDevice(const std::string&) override { return kDevice; }
  bool getAttributes(int, termios&) override { return true; }
  bool setAttributes(int, const termios&) override { return true; }
  bool setCustomSpeed(int, std::uint64_t) override { return true; }
  IoResult poll(pollfd* descriptors, std::size_t count, int) override {
    for (std::size_t i = 0; i < count; ++i) {
      descriptors[i].revents = 0;
      if (descriptors[i].fd == kDevice && left_ > 0) descriptors[i].revents = POLLIN;
      if (descriptors[i].fd == kInput && left_ == 0) descriptors[i].revents = POLLHUP;
    }
    return IoResult{1, 0};
  }
  IoResult read(int, std::byte* buffer, std::size_t size) override {
    --left_;
    const std::size_t n = std::min(size, chunk_.size());
    std::memcpy(buffer, chunk_.data(), n);
    return IoResult{static_cast<long>(n), 0};
  }
  IoResult write(int, const std::byte* data, std::size_t size) override {
    benchmark::DoNotOptimize(data);
    written_ += size;
    return IoResult{static_cast<long>(size), 0};
  }
  void close(int) override {}
  bool listDirectory(const std::string&, const std::function<bool(std::string_view)>&) override {
    return true;
  }

  std::size_t written() const { return written_; }

 private:
  std::vector<std::byte> chunk_;
  std::size_t left_;
  std::size_t written_ = 0;
};

void relayLoop(benchmark::State& state) {
  const auto chunkBytes = static_cast<std::size_t>(state.range(0));
  constexpr std::size_t kChunks = 1024;
  std::size_t total = 0;
  for (auto _ : state) {
    InMemorySystem system(chunkBytes, kChunks);
    benchmark::DoNotOptimize(relayDevice(system, kDevice, kInput, kOutput));
    total += system.written();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(total));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kChunks));
}
BENCHMARK(relayLoop)->Arg(16)->Arg(512)->Arg(4096);

}  // namespace
}  // namespace orvix::serial_reader

BENCHMARK_MAIN();
