#include "OrvixInputHost/quick-add/quick_add_diagnostic.h"

#include <algorithm>
#include <cmath>

#include "common/event_line.h"
#include "OrvixInputHost/delivery/input_host_settings.h"

namespace orvix::input_host {

namespace {
constexpr double kMaximumDurationMs = 60000;

template <typename T>
void putIfSet(Json& object, const char* key, const std::optional<T>& value) {
  if (value) object[key] = *value;
}
}  // namespace

void DiagnosticLog::log(std::string_view step, std::string_view reason,
                        const DiagnosticDetails& details) {
  const double elapsedMs = (clock_.uptimeSeconds() - context_.started) * 1000.0;
  const auto durationMs =
      static_cast<std::int64_t>(std::clamp(std::trunc(elapsedMs), 0.0, kMaximumDurationMs));
  Json diagnostic = {
      {"source", context_.source},
      {"attempt", context_.attempt},
      {"step", step},
      {"reason", reason},
      {"durationMs", durationMs},
      {"mainTrusted", context_.mainTrusted},
      {"nativeTrusted", context_.nativeTrusted},
      {"eventTargetPid", context_.eventTargetPid},
      {"helperPid", helperPid_},
  };
  putIfSet(diagnostic, "nativeUntrustedReason", context_.nativeUntrustedReason);
  putIfSet(diagnostic, "axError", details.axError);
  putIfSet(diagnostic, "hasElement", details.hasElement);
  putIfSet(diagnostic, "hasWindow", details.hasWindow);
  putIfSet(diagnostic, "workspacePid", details.workspacePid);
  putIfSet(diagnostic, "focusPid", details.focusPid);
  putIfSet(diagnostic, "resolvedPid", details.resolvedPid);
  putIfSet(diagnostic, "foregroundSource", details.foregroundSource);
  putIfSet(diagnostic, "recheck", details.recheck);
  putIfSet(diagnostic, "workspaceOrvix", details.workspaceOrvix);
  putIfSet(diagnostic, "focusOrvix", details.focusOrvix);
  putIfSet(diagnostic, "eventOrvix", details.eventOrvix);
  output_.emit(makeEvent(schemaVersion, "vocabulary.quick-add.diagnostic",
                         {{"diagnostic", std::move(diagnostic)}}));
}

}  // namespace orvix::input_host
