// OrvixInputHost: reads JSON-line commands on standard input and writes events on standard
// output until "shutdown" or end of input.
//
//   OrvixInputHost                    the desktop of the machine it runs on
//   OrvixInputHost --simulate NAME    development only: a simulated desktop ("default" or the
//                                     path of a scenario file)

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <variant>

#include "common/bounded_line_reader.h"
#include "common/queued_line_writer.h"
#include "common/time/real_time_source.h"
#include "platform/machine_desktop.h"
#include "platform/simulated/desktop/scenario_loader.h"
#include "OrvixInputHost/delivery/input_host.h"
#include "OrvixInputHost/delivery/input_host_settings.h"

namespace {

using namespace orvix;

// `machine` may be null (a simulated desktop, which cannot go away).
int runHost(platform::Desktop desktop, TimeSource& time, platform::MachineDesktop* machine) {
  const char* trace = std::getenv(std::string(input_host::agentTraceEnvironmentVariable).c_str());
  input_host::InputHostOptions options;
  options.agentTraceEnabled = trace != nullptr && std::string_view(trace) == "1";
  // The trace records are written by a thread of their own: a parent that stops reading
  // standard error must not stop the command loop.
  FileDescriptorLineSink standardError(STDERR_FILENO);
  QueuedLineWriter traceCopy(standardError, input_host::maximumQueuedTraceLines,
                             input_host::maximumQueuedTraceBytes,
                             std::string(input_host::traceOverflowNotice));
  if (options.agentTraceEnabled) traceCopy.start(time, "OrvixInputHost.trace");
  options.agentTraceCopy = &traceCopy;

  // Events come from the command loop, the quick-add tap thread and quick-add's queue; none of
  // them may wait for the reader (the system switches off a tap whose callback blocks), so they
  // only queue, and one thread of the writer's own does the writing. Started before anything can
  // emit.
  FileDescriptorLineSink standardOutput(STDOUT_FILENO);
  QueuedLineWriter output(standardOutput, input_host::maximumQueuedOutputLines,
                          input_host::maximumQueuedOutputBytes);
  output.start(time, "OrvixInputHost.output");
  // A desktop session that ends under the host ends it as the end of its input would: the loop
  // stops, and what was queued is still written.
  const auto input = std::make_shared<FileDescriptorSource>(STDIN_FILENO, true);
  if (machine) machine->onSessionLost([input] { input->stop(); });
  {
    input_host::InputHost host(desktop, time, output, options);
    host.start();
    host.run(*input);
    // Leaving this block takes quick-add down (its tap stopped, its thread and queue finished),
    // so whatever it still has to say is queued before the flush.
  }
  const bool traceFlushed =
      !options.agentTraceEnabled || traceCopy.closeAndFlush(input_host::shutdownFlushTimeout);
  if (!output.closeAndFlush(input_host::shutdownFlushTimeout) || !traceFlushed) {
    // A reader stalled and its writer thread may never come back from its write: leave without
    // the destructors, which would wait for it.
    std::_Exit(EXIT_SUCCESS);
  }
  return EXIT_SUCCESS;
}

int usage() {
  std::fputs("usage: OrvixInputHost [--simulate default|SCENARIO_FILE]\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // A desktop application that goes away closes our standard output; writes must fail quietly
  // rather than kill the process before it sees the end of its input.
  std::signal(SIGPIPE, SIG_IGN);

  RealTimeSource time;
  if (argc == 1) {
    const auto machine = platform::makeMachineDesktop(time);
    return runHost(machine->desktop(), time, machine.get());
  }
  if (argc != 3 || std::strcmp(argv[1], "--simulate") != 0) return usage();

  auto loaded = platform::simulated::loadScenario(argv[2], time);
  if (auto* error = std::get_if<platform::simulated::ScenarioError>(&loaded)) {
    std::fprintf(stderr, "OrvixInputHost: scenario %s: %s\n", argv[2], error->message.c_str());
    return 2;
  }
  auto& scenario = std::get<platform::simulated::LoadedScenario>(loaded);
  return runHost(scenario.desktop->desktop(), time, nullptr);
}
