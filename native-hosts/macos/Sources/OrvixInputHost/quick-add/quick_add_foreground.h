#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/time/time_source.h"
#include "platform/desktop.h"
#include "OrvixInputHost/delivery/focus_probe.h"
#include "OrvixInputHost/delivery/foreground_context.h"
#include "OrvixInputHost/quick-add/quick_add_diagnostic.h"

namespace orvix::input_host {

// Which application window a quick-add gesture or copy command is about, from three sources of
// evidence that must agree: the accessibility focus, the workspace's frontmost application and
// the process the input event was addressed to, each checked against the window that is really
// in front. Refuses, with a diagnostic step, anything doubtful: a protected field, a window that
// changed under it, an event aimed elsewhere.
//
// Stateless; runs on the tap thread or the quick-add queue. Every accessibility query is bounded
// by a short messaging timeout, and one resolution by two tries, so that a hung application
// costs a fraction of a second.
class QuickAddForeground {
 public:
  struct FrontWindow {
    ProcessId pid = 0;
    std::uint32_t number = 0;
  };
  struct Choice {
    ProcessId pid = 0;
    std::string source;  // "ax", "event" or "workspace"
  };

  QuickAddForeground(platform::Desktop& desktop, TimeSource& time);

  // The owner and number of the frontmost ordinary window (layer 0), if the list can be read.
  std::optional<FrontWindow> frontWindow();
  // Which process the evidence names, with the source that decided; none when it disagrees.
  std::optional<Choice> choosePid(ProcessId workspacePid, ProcessId focusPid, ProcessId eventPid,
                                  ProcessId eventApplicationPid);
  // The foreground application and its front window; `diagnostic` may be null (silent).
  std::optional<ForegroundContext> foregroundContext(ProcessId eventPid,
                                                     DiagnosticLog* diagnostic);
  // Both readings name the same window of the same application.
  static bool contextsMatch(const ForegroundContext& a, const ForegroundContext& b);
  // The focused element and window of the foreground application, confirmed by a second
  // reading and, when `expected` is given, still in the window it names.
  std::optional<SystemFocus> focus(ProcessId eventPid,
                                   const std::optional<ForegroundContext>& expected,
                                   DiagnosticLog* diagnostic);
  // What the focused element reports as selected, if anything.
  std::optional<std::string> selectedText(const SystemFocus& focus);

 private:
  // One reading of the evidence; logs it when a diagnostic is given.
  std::optional<Choice> readEvidence(ProcessId eventPid, int recheck, DiagnosticLog* diagnostic);
  // The element's process lies in the tree of `pid`; logs `step` otherwise.
  bool ownedBy(const AXElement& element, ProcessId pid, DiagnosticLog* diagnostic,
               std::string_view step);
  bool isDesktopApplication(ProcessId pid);

  platform::Accessibility& accessibility_;
  platform::Workspace& workspace_;
  platform::WindowList& windowList_;
  TimeSource& time_;
  FocusProbe probe_;
};

}  // namespace orvix::input_host
