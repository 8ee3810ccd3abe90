#include "tools/sbc-decoder/fake_vx41_engine.h"

#include <cmath>

namespace orvix::sbc_decoder::testing {
namespace {
FakeVx41Engine* current = nullptr;
}

struct FakeVx41Calls {
  static int create(void** handle, const char*) {
    *handle = current;
    current->calls.push_back("create");
    return 0;
  }
  static int append(void*, const float* samples, std::int32_t frames) {
    current->calls.push_back("append " + std::to_string(frames));
    current->appendedBlocks.emplace_back(samples, samples + 2 * frames);
    for (std::int32_t i = 0; i < 2 * frames; ++i) {
      current->pending_.push_back(static_cast<std::int16_t>(std::lrint(samples[i])));
    }
    return current->appendStatus;
  }
  static int run(void*, std::int16_t** output, std::int32_t* lengths, std::int16_t* kind) {
    current->calls.push_back("run");
    if (!current->steps.empty()) {
      current->current_ = std::move(current->steps.front());
      current->steps.pop_front();
    } else {
      const auto frames = static_cast<std::int32_t>(current->pending_.size() / 2);
      ScriptedStep step;
      step.kind = frames > 0 ? 2 : 0;
      step.lengths[0] = step.lengths[1] = frames;
      step.nullOutput = frames == 0;
      step.planes.resize(current->pending_.size());
      for (std::int32_t j = 0; j < frames; ++j) {
        step.planes[static_cast<std::size_t>(j)] =
            current->pending_[2 * static_cast<std::size_t>(j)];
        step.planes[static_cast<std::size_t>(frames + j)] =
            current->pending_[2 * static_cast<std::size_t>(j) + 1];
      }
      current->pending_.clear();
      current->current_ = std::move(step);
    }
    const ScriptedStep& step = current->current_;
    *kind = step.kind;
    lengths[0] = step.lengths[0];
    lengths[1] = step.lengths[1];
    *output = step.nullOutput ? nullptr : const_cast<std::int16_t*>(step.planes.data());
    return step.status;
  }
  static int setParam(void*, std::uint32_t parameter, const std::int32_t* value) {
    current->calls.push_back("set-param " + std::to_string(parameter) + " " +
                             std::to_string(*value));
    current->pending_.clear();
    return current->setParamStatus;
  }
  static int del(void*) {
    current->calls.push_back("del");
    return 0;
  }
};

ScriptedStep ScriptedStep::planesOf(std::int32_t frames, std::int16_t value) {
  ScriptedStep step;
  step.lengths[0] = step.lengths[1] = frames;
  step.planes.assign(2 * static_cast<std::size_t>(frames), value);
  return step;
}

FakeVx41Engine::FakeVx41Engine() { current = this; }
FakeVx41Engine::~FakeVx41Engine() { current = nullptr; }

Vx41Functions FakeVx41Engine::functions() {
  return Vx41Functions{&FakeVx41Calls::create, &FakeVx41Calls::append, &FakeVx41Calls::run,
                       &FakeVx41Calls::setParam, &FakeVx41Calls::del};
}

}  // namespace orvix::sbc_decoder::testing
