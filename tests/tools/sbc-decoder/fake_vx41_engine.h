#pragma once

// An in-process engine for unit tests and the fuzz target: a delay-free pass-through by default,
// or a script of step results, with every call recorded. The engine's functions are plain C
// functions, so they reach the fake through one current instance.
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "tools/sbc-decoder/vx41_engine_api.h"

namespace orvix::sbc_decoder::testing {

struct ScriptedStep {
  int status = 0;
  std::int16_t kind = 2;
  std::int32_t lengths[2] = {0, 0};
  bool nullOutput = false;
  std::vector<std::int16_t> planes;  // 2 × lengths[0] samples when not null

  static ScriptedStep planesOf(std::int32_t frames, std::int16_t value);
};

class FakeVx41Engine {
 public:
  FakeVx41Engine();
  ~FakeVx41Engine();
  FakeVx41Engine(const FakeVx41Engine&) = delete;
  FakeVx41Engine& operator=(const FakeVx41Engine&) = delete;

  static Vx41Functions functions();
  void* handle() { return this; }

  int appendStatus = 0;
  int setParamStatus = 0;
  std::deque<ScriptedStep> steps;  // when empty, a step returns what was appended since the last

  std::vector<std::string> calls;
  std::vector<std::vector<float>> appendedBlocks;

 private:
  friend struct FakeVx41Calls;
  std::vector<std::int16_t> pending_;  // interleaved, not yet returned
  ScriptedStep current_;
};

}  // namespace orvix::sbc_decoder::testing
