#include "OrvixInputHost/delivery/input_host.h"

#include "common/event_line.h"
#include "common/platform_name.h"
#include "common/text_length.h"
#include "OrvixInputHost/delivery/command_results.h"
#include "OrvixInputHost/delivery/input_host_settings.h"
#include "OrvixInputHost/delivery/json_shape.h"

namespace orvix::input_host {

namespace {

// 1 to 100000 user-perceived characters, no NUL.
bool isValidText(const std::string& text) {
  return text.find('\0') == std::string::npos && isBoundedText(text, maximumTextCharacters);
}

// A string of 1 to 128 UTF-16 code units without NUL.
bool isCopyTargetId(const Json& value) {
  if (!value.is_string()) return false;
  const auto& text = value.get_ref<const std::string&>();
  const auto units = utf16Length(text);
  return units && *units >= 1 && *units <= 128 && text.find('\0') == std::string::npos;
}

// The exact key set and valid values; anything else is not a refresh and goes on to the replay
// step like any other unrecognised command.
bool isPermissionRefresh(const Json& command) {
  if (!hasExactKeys(command,
                    {"schemaVersion", "command", "commandId", "prompt", "responsiblePermission"})) {
    return false;
  }
  const std::string* permission = stringMember(command, "responsiblePermission");
  return command.at("prompt").is_boolean() && permission &&
         (*permission == "trusted" || *permission == "denied");
}

bool isVocabularyCopyCommand(const Json& command) {
  if (hasExactKeys(command, {"schemaVersion", "command", "commandId"})) return true;
  return hasExactKeys(command, {"schemaVersion", "command", "commandId", "copyTargetId"}) &&
         isCopyTargetId(command.at("copyTargetId"));
}

}  // namespace

InputHost::InputHost(platform::Desktop& desktop, TimeSource& time, LineSink& output,
                     InputHostOptions options)
    : options_(options),
      output_(output),
      quickAdd_(output_, time, desktop),
      probe_(desktop.accessibility, desktop.processInfo),
      keys_(desktop.inputEvents, quickAdd_),
      capture_(probe_, sessions_, time),
      paste_(probe_, desktop.pasteboard, keys_, quickAdd_, capture_, sessions_, time),
      agentTrace_(output_, time.clock(), options.agentTraceEnabled ? options.agentTraceCopy : nullptr),
      agentEnvironment_{desktop, time, probe_, keys_, agentTrace_, std::nullopt},
      agentActivator_(agentEnvironment_),
      agentComposer_(agentEnvironment_, agentActivator_),
      agentCommit_(agentEnvironment_, agentActivator_, agentComposer_, paste_, quickAdd_),
      systemControl_(desktop.inputEvents, keys_, quickAdd_),
      cache_(maximumCachedCommands, maximumCachedBytes) {}

void InputHost::start() { emitPermission(); }

void InputHost::run(ByteSource& input) {
  BoundedLineReader reader(input, maximumLineBytes);
  for (;;) {
    auto line = reader.next();
    if (line.status == BoundedLineReader::Status::end) return;
    // An over-long line is dropped like any other invalid line.
    if (line.status == BoundedLineReader::Status::line && !handleLine(line.text)) return;
  }
}

void InputHost::emitPermission() {
  const char* permission = quickAdd_.responsibleAccessibilityTrusted() ? "trusted" : "denied";
  output_.emit(makeEvent(schemaVersion, "host.ready",
                         {{"platform", platformName()},
                          {"permission", permission},
                          {"quickAddPermission", permission}}));
}

void InputHost::cacheAndEmit(const std::string& commandId, Json event) {
  cache_.insert(commandId, event);
  output_.emit(event);
}

bool InputHost::handleLine(std::string_view line) {
  if (line.size() > maximumLineBytes) return true;
  const auto command = parseJsonObject(line);
  if (!command) return true;

  const auto version = integralMember(*command, "schemaVersion");
  if (version == systemControlSchemaVersion) {
    systemControl_.execute(*command);
    return true;
  }
  if (version != schemaVersion) return true;

  const std::string* name = stringMember(*command, "command");
  const std::string* commandId = stringMember(*command, "commandId");
  if (!name || !commandId || !isBoundedText(*commandId, maximumIdentifierCharacters)) return true;
  return handleCommand(*command, *name, *commandId);
}

bool InputHost::handleCommand(const Json& command, const std::string& name,
                              const std::string& commandId) {
  // These four are neither cached nor replayed.
  if (name == "shutdown" && hasExactKeys(command, {"schemaVersion", "command", "commandId"})) {
    quickAdd_.configure(false);
    return false;
  }
  if (name == "permission.refresh" && isPermissionRefresh(command)) {
    const bool trusted = *stringMember(command, "responsiblePermission") == "trusted";
    quickAdd_.setResponsibleAccessibilityTrusted(trusted);
    emitPermission();
    quickAdd_.configure(quickAdd_.enabled());
    return true;
  }
  if (name == "vocabulary.quick-add.configure" &&
      hasExactKeys(command, {"schemaVersion", "command", "commandId", "enabled"}) &&
      command.at("enabled").is_boolean()) {
    quickAdd_.configure(command.at("enabled").get<bool>());
    return true;
  }
  if (name == "vocabulary.quick-add.copy" && isVocabularyCopyCommand(command)) {
    std::optional<std::string> copyTargetId;
    if (const std::string* id = stringMember(command, "copyTargetId")) copyTargetId = *id;
    quickAdd_.copySelection(commandId, std::move(copyTargetId));
    return true;
  }

  // A known command id is answered from the cache before anything else is looked at.
  if (const Json* cached = cache_.find(commandId)) {
    output_.emit(*cached);
    return true;
  }

  const std::string* sessionId = stringMember(command, "sessionId");
  if (!sessionId || !isBoundedText(*sessionId, maximumIdentifierCharacters)) return true;
  handleSessionCommand(command, name, commandId, *sessionId);
  return true;
}

void InputHost::handleSessionCommand(const Json& command, const std::string& name,
                                     const std::string& commandId, const std::string& sessionId) {
  if (name == "target.capture" &&
      hasExactKeys(command, {"schemaVersion", "command", "commandId", "sessionId"})) {
    const std::string outcome = capture_.storeCapturedTarget(sessionId);
    cacheAndEmit(commandId, targetCaptureResult(commandId, outcome));
    return;
  }
  if (name == "target.release" &&
      hasExactKeys(command, {"schemaVersion", "command", "commandId", "sessionId"})) {
    sessions_.capturedTargets.erase(sessionId);
    paste_.releaseStreamingSession(sessionId);
    sessions_.removeFromCaptureOrder(sessionId);
    return;
  }
  if (name == "press-enter" &&
      hasExactKeys(command, {"schemaVersion", "command", "commandId", "sessionId"})) {
    cacheAndEmit(commandId, pressEnter(commandId));
    return;
  }
  if (name == "commit-agent" &&
      hasExactKeys(command,
                   {"schemaVersion", "command", "commandId", "sessionId", "target", "text"})) {
    const std::string* target = stringMember(command, "target");
    const std::string* text = stringMember(command, "text");
    const auto agent = target ? agentTargetNamed(*target) : std::nullopt;
    if (agent && text && isValidText(*text)) {
      cacheAndEmit(commandId, agentCommit_.commitAgent(commandId, *agent, *text));
    }
    return;
  }
  if (name == "commit-text") {
    const bool plain =
        hasExactKeys(command, {"schemaVersion", "command", "commandId", "sessionId", "text"});
    const bool streaming = hasExactKeys(command, {"schemaVersion", "command", "commandId",
                                                  "sessionId", "text", "streaming"});
    if (streaming && command.at("streaming") != true) return;
    const std::string* text = stringMember(command, "text");
    if (!(plain || streaming) || !text || !isValidText(*text)) return;
    cacheAndEmit(commandId, streaming ? paste_.appendText(commandId, sessionId, *text)
                                      : paste_.commitText(commandId, sessionId, *text));
  }
}

Json InputHost::pressEnter(const std::string& commandId) {
  if (!quickAdd_.responsibleAccessibilityTrusted()) {
    return commandResult(commandId, "failed", "PERMISSION_DENIED");
  }
  return keys_.postKey(keyCodeReturn) ? commandResult(commandId, "committed")
                                      : commandResult(commandId, "failed", "UNAVAILABLE");
}

}  // namespace orvix::input_host
