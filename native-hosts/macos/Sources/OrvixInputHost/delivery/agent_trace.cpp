#include "OrvixInputHost/delivery/agent_trace.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "OrvixInputHost/delivery/input_host_settings.h"

namespace orvix::input_host {

namespace {

// Record keys that reach the event, under their event names, when they have the right type.
struct CopiedKey {
  const char* record;
  const char* event;
  enum class Type { integer, boolean, string, int32 } type;
};

constexpr CopiedKey kCopiedKeys[] = {
    {"candidates", "candidateCount", CopiedKey::Type::integer},
    {"visited", "visitedCount", CopiedKey::Type::integer},
    {"windowCount", "windowCount", CopiedKey::Type::integer},
    {"complete", "scanComplete", CopiedKey::Type::boolean},
    {"mode", "mode", CopiedKey::Type::string},
    {"accessibilityMethod", "accessibilityMethod", CopiedKey::Type::string},
    {"accessibilityResult", "accessibilityResult", CopiedKey::Type::int32},
};

bool hasType(const Json& value, CopiedKey::Type type) {
  switch (type) {
    case CopiedKey::Type::integer:
      return value.is_number_integer();
    case CopiedKey::Type::boolean:
      return value.is_boolean();
    case CopiedKey::Type::string:
      return value.is_string();
    case CopiedKey::Type::int32:
      return value.is_number_integer() &&
             value.get<std::int64_t>() >= std::numeric_limits<std::int32_t>::min() &&
             value.get<std::int64_t>() <= std::numeric_limits<std::int32_t>::max();
  }
  return false;
}

constexpr std::size_t kMaximumFocusFailures = 8;
constexpr std::size_t kMaximumOnceKeys = 64;
constexpr double kMaximumElapsedMilliseconds = 60000;

}  // namespace

void AgentTrace::begin(const std::string& commandId, std::string_view target) {
  active_ = ActiveCommand{commandId, std::string(target), clock_.uptime()};
  focusFailures_.clear();
  seen_.clear();
}

void AgentTrace::end() {
  active_.reset();
  focusFailures_.clear();
  seen_.clear();
}

bool AgentTrace::firstTime(const std::string& key) {
  if (seen_.size() >= kMaximumOnceKeys) return false;
  return seen_.insert(key).second;
}

void AgentTrace::trace(const Json& record) {
  const auto stage = record.find("stage");
  if (active_ && stage != record.end() && stage->is_string()) {
    // Counted in whole nanoseconds, so 400 ms is 400 and not 399.999.
    const double elapsed = std::chrono::duration<double, std::milli>(
                               std::chrono::floor<std::chrono::milliseconds>(clock_.uptime() - active_->startedAt))
                               .count();
    Json event = {{"schemaVersion", schemaVersion},
                  {"event", "agent.observation"},
                  {"commandId", active_->commandId},
                  {"target", active_->target},
                  {"stage", *stage},
                  {"elapsedMs", static_cast<std::int64_t>(
                                    std::clamp(std::trunc(elapsed), 0.0, kMaximumElapsedMilliseconds))}};
    for (const auto& key : kCopiedKeys) {
      const auto value = record.find(key.record);
      if (value != record.end() && hasType(*value, key.type)) event[key.event] = *value;
    }
    output_.emit(event);
  }
  // The developer's copy carries the whole record, during a command or not.
  if (copy_ != nullptr) {
    if (auto text = serializeCompact(record)) {
      text->push_back('\n');
      copy_->writeLine(*text);
    }
  }
}

void AgentTrace::focusFailure(std::string_view stage, std::optional<std::int32_t> error) {
  if (focusFailures_.size() >= kMaximumFocusFailures) return;
  const std::string key = std::string(stage) + "-" + std::to_string(error.value_or(0));
  if (!focusFailures_.insert(key).second) return;
  Json record = {{"stage", stage}};
  if (error) {
    record["accessibilityMethod"] = "application-focus";
    record["accessibilityResult"] = *error;
  }
  trace(record);
}

}  // namespace orvix::input_host
