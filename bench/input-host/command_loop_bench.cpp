// Cost of the input host's command loop per line, and of its result cache and streaming
// sessions at capacity.
#include <benchmark/benchmark.h>

#include <string>

#include "common/time/virtual_time_source.h"
#include "platform/simulated/desktop/simulated_desktop.h"
#include "OrvixInputHost/delivery/input_host.h"
#include "OrvixInputHost/delivery/input_host_settings.h"
#include "OrvixInputHost/delivery/result_cache.h"
#include "OrvixInputHost/delivery/streaming_sessions.h"

namespace {

using namespace orvix;
using namespace orvix::input_host;

class NullSink final : public LineSink {
 public:
  void writeLine(std::string_view) override {}
};

// A host on the simulated default-like desktop, without permission so that delivery commands
// stop at the pasteboard: what is measured is the loop (parse, validate, count, cache, emit).
struct Host {
  VirtualTimeSource time;
  platform::simulated::SimulatedDesktop desktop{time};
  platform::Desktop platformDesktop = desktop.desktop();
  NullSink sink;
  InputHost host{platformDesktop, time, sink};
};

std::string commitLine(std::size_t id, const std::string& text) {
  return R"({"schemaVersion":2,"command":"commit-text","commandId":"c)" + std::to_string(id) +
         R"(","sessionId":"session-1","text":")" + text + R"("})";
}

void typicalCommand(benchmark::State& state) {
  Host world;
  std::size_t id = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(world.host.handleLine(commitLine(id++, "Hello, world")));
  }
}
BENCHMARK(typicalCommand);

void droppedLine(benchmark::State& state) {
  Host world;
  const std::string line =
      R"({"schemaVersion":2,"command":"commit-text","commandId":"c","sessionId":"s","text":"x","streaming":false})";
  for (auto _ : state) benchmark::DoNotOptimize(world.host.handleLine(line));
}
BENCHMARK(droppedLine);

void replayedCommand(benchmark::State& state) {
  Host world;
  world.host.handleLine(commitLine(0, "Hello"));
  const std::string line = commitLine(0, "Hello");
  for (auto _ : state) benchmark::DoNotOptimize(world.host.handleLine(line));
}
BENCHMARK(replayedCommand);

// A commit-text line of the given size whose text is made of three-byte characters (the costly
// case for character counting), padded with white space to the exact size.
std::string lineOfBytes(std::size_t id, std::size_t bytes) {
  const std::string head = commitLine(id, "");
  std::string text;
  const std::size_t room = bytes - head.size();
  for (std::size_t i = 0; i + 3 <= room && i / 3 < maximumTextCharacters; i += 3) text += "\xE4\xB8\xAD";
  std::string line = commitLine(id, text);
  line.append(bytes - line.size(), ' ');
  return line;
}

void lineOfSize(benchmark::State& state) {
  Host world;
  const auto bytes = static_cast<std::size_t>(state.range(0));
  std::size_t id = 0;
  std::vector<std::string> lines;
  for (int i = 0; i < 64; ++i) lines.push_back(lineOfBytes(static_cast<std::size_t>(i), bytes));
  for (auto _ : state) {
    // Fresh ids so every line is validated and executed, not replayed.
    if (id == lines.size()) {
      state.PauseTiming();
      for (std::size_t i = 0; i < lines.size(); ++i) lines[i] = lineOfBytes(id + i, bytes);
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(world.host.handleLine(lines[id % lines.size()]));
    ++id;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(lineOfSize)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(static_cast<std::int64_t>(maximumLineBytes))
    ->Unit(benchmark::kMicrosecond)
    ->Complexity(benchmark::oN);

void cacheAtCapacity(benchmark::State& state) {
  ResultCache cache(maximumCachedCommands, maximumCachedBytes);
  const Json answer = {{"schemaVersion", 2}, {"event", "command.result"}, {"outcome", "committed"}};
  std::size_t next = 0;
  for (; next < maximumCachedCommands; ++next) cache.insert("id" + std::to_string(next), answer);
  std::vector<std::string> ids;
  for (std::size_t i = 0; i < 1 << 16; ++i) ids.push_back("id" + std::to_string(i));
  std::size_t i = maximumCachedCommands;
  for (auto _ : state) {
    // One insertion (which evicts the oldest) and one lookup of a cached id.
    cache.insert(ids[i % ids.size()], answer);
    benchmark::DoNotOptimize(cache.find(ids[(i - 100) % ids.size()]));
    ++i;
  }
}
BENCHMARK(cacheAtCapacity);

// Each piece opens a new streaming session while the kept ones are at their bound, so every
// piece evicts the session idle longest and remembers the eviction: the worst steady state.
void streamingPieceAtCapacity(benchmark::State& state) {
  StreamingSessions sessions(maximumStreamingSessions, maximumStreamingBytes,
                             maximumStreamingEvictionsRemembered);
  // More ids than evictions are remembered, so an id comes round again as a fresh session.
  std::vector<std::string> ids;
  for (std::size_t i = 0; i < 4 * maximumStreamingEvictionsRemembered; ++i) {
    ids.push_back("session-" + std::to_string(i));
  }
  const std::string piece(static_cast<std::size_t>(state.range(0)), 'x');
  std::size_t i = 0;
  for (auto _ : state) {
    sessions.append(ids[i % ids.size()], piece, static_cast<std::int64_t>(i));
    ++i;
  }
  state.counters["keptSessions"] = static_cast<double>(sessions.size());
  state.counters["keptBytes"] = static_cast<double>(sessions.bytes());
}
BENCHMARK(streamingPieceAtCapacity)->Arg(64)->Arg(1 << 20);

}  // namespace

BENCHMARK_MAIN();
