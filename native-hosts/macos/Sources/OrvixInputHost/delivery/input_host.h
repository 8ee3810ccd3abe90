#pragma once

#include <string>
#include <string_view>

#include "common/bounded_line_reader.h"
#include "common/json_wire.h"
#include "common/time/time_source.h"
#include "platform/desktop.h"
#include "OrvixInputHost/delivery/agent_activation.h"
#include "OrvixInputHost/delivery/agent_commit.h"
#include "OrvixInputHost/delivery/agent_composer.h"
#include "OrvixInputHost/delivery/agent_environment.h"
#include "OrvixInputHost/delivery/agent_trace.h"
#include "OrvixInputHost/delivery/clipboard_paste.h"
#include "OrvixInputHost/delivery/event_output.h"
#include "OrvixInputHost/delivery/focus_probe.h"
#include "OrvixInputHost/delivery/key_synthesis.h"
#include "OrvixInputHost/delivery/paste_target_capture.h"
#include "OrvixInputHost/delivery/result_cache.h"
#include "OrvixInputHost/delivery/session_state.h"
#include "OrvixInputHost/delivery/system_control.h"
#include "OrvixInputHost/quick-add/quick_add_state.h"

namespace orvix::input_host {

struct InputHostOptions {
  // Copy agent trace records to standard error (ORVIX_INPUT_HOST_AGENT_TRACE=1).
  bool agentTraceEnabled = false;
  // Where the copies go when it is on (standard error in the program).
  LineSink* agentTraceCopy = nullptr;
};

// The input host's process shell: start-up, the command loop with its validation, the result
// cache, and the single event writer. The loop runs on the main thread and finishes one line,
// answer included, before it reads the next.
class InputHost {
 public:
  InputHost(platform::Desktop& desktop, TimeSource& time, LineSink& output,
            InputHostOptions options = {});

  // Writes the first "host.ready".
  void start();
  // Reads commands until end of input or "shutdown".
  void run(ByteSource& input);
  // Handles one command line (without its LF); false once the loop must end.
  bool handleLine(std::string_view line);

  QuickAdd& quickAdd() { return quickAdd_; }
  bool agentTraceEnabled() const { return options_.agentTraceEnabled; }
  const SessionState& sessions() const { return sessions_; }
  std::size_t cachedCommandCount() const { return cache_.size(); }
  std::size_t cachedCommandBytes() const { return cache_.bytes(); }

 private:
  void emitPermission();
  void cacheAndEmit(const std::string& commandId, Json event);
  // Steps of the loop after the envelope was read; false once the loop must end.
  bool handleCommand(const Json& command, const std::string& name, const std::string& commandId);
  void handleSessionCommand(const Json& command, const std::string& name,
                            const std::string& commandId, const std::string& sessionId);
  Json pressEnter(const std::string& commandId);

  InputHostOptions options_;
  EventOutput output_;
  QuickAdd quickAdd_;
  FocusProbe probe_;
  KeySynthesis keys_;
  SessionState sessions_;
  PasteTargetCapture capture_;
  ClipboardPaste paste_;
  AgentTrace agentTrace_;
  AgentEnvironment agentEnvironment_;
  AgentActivator agentActivator_;
  AgentComposerFinder agentComposer_;
  AgentCommit agentCommit_;
  SystemControl systemControl_;
  ResultCache cache_;
};

}  // namespace orvix::input_host
