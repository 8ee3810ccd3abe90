#include "tools/update-host/update_host_run.h"

#include <optional>

#include "tools/update-host/bounded_json.h"

namespace orvix::update_host {

namespace {

// Reads until end of input or one byte past the request limit, whichever comes first, so that a
// writer that never stops cannot make the program hold more than that. Absent when the request
// is too long; a read error is a failure of its own kind.
std::optional<std::string> readRequestText(ByteSource& input) {
  std::string text(kMaximumRequestBytes + 1, '\0');
  std::size_t filled = 0;
  while (filled < text.size()) {
    const std::ptrdiff_t n = input.readSome(text.data() + filled, text.size() - filled);
    if (n < 0) throw UpdateFailure(Failure::response);
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  if (filled > kMaximumRequestBytes) return std::nullopt;
  text.resize(filled);
  return text;
}

}  // namespace

std::string failureAnswer(Failure failure) {
  return std::string(R"({"failure":")") + std::string(failureCode(failure)) + "\"}";
}

std::string runUpdateHost(std::span<const std::string_view> arguments, ByteSource& input,
                          std::string_view configurationText, GatewayAccess& access) {
  try {
    if (!arguments.empty()) return failureAnswer(Failure::config);
    const auto requestText = readRequestText(input);
    if (!requestText) return failureAnswer(Failure::config);
    const Json request = parseBoundedObject(*requestText);
    const Json configuration = parseBoundedObject(configurationText);
    const auto answer = serializeCompact(checkForUpdate(request, configuration, access));
    if (!answer) return failureAnswer(Failure::response);
    return *answer;
  } catch (const UpdateFailure& failure) {
    return failureAnswer(failure.failure());
  } catch (...) {
    // Anything unforeseen (memory exhaustion included) is still an answer, never a crash.
    return failureAnswer(Failure::response);
  }
}

}  // namespace orvix::update_host
