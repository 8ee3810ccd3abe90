// orvix-update-host: asks the vendor's update service whether a newer desktop version or
// firmware exists. Reads one JSON request on standard input, prints one JSON answer on standard
// output (no trailing newline) and always exits 0; nothing goes to standard error.
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <string_view>
#include <vector>

#include "common/uuid.h"
#include "common/write_all.h"
#include "tools/update-host/configuration.h"
#include "tools/update-host/curl_transport.h"
#include "tools/update-host/embedded_configuration.h"
#include "tools/update-host/update_host_run.h"

namespace {

using namespace orvix::update_host;

RequestStamp currentStamp() {
  return RequestStamp{std::chrono::system_clock::now(),
                      orvix::randomUuidText(orvix::LetterCase::lower)};
}

}  // namespace

int main(int argc, char** argv) {
  // A closed standard output must not kill the program before it exits 0.
  std::signal(SIGPIPE, SIG_IGN);

  const std::vector<std::string_view> arguments(argv + 1, argv + argc);
  orvix::FileDescriptorSource input(STDIN_FILENO);
  CurlTransport transport;
  GatewayAccess access{transport, TransportLimits{}, currentStamp};
  const std::string configuration = unmaskConfiguration(embeddedBytes(), embeddedMask());
  // A failed write has no one left to tell: the reader went away.
  (void)orvix::writeAll(STDOUT_FILENO, runUpdateHost(arguments, input, configuration, access));
  return 0;
}
