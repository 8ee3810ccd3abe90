// orvix-update-gateway-emulator: the loopback gateway stand-in as a program, for the demo and
// the side-by-side benchmark.
//
//   orvix-update-gateway-emulator --port N --secret S --app-id A [--mode M] [--lifetime SECONDS]
//
// Prints "listening 127.0.0.1:N" once bound, then one line per request with what it found, and
// stops on SIGINT or SIGTERM, or after --lifetime seconds (default 300) so it never lingers.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

#include "tools/update-host/gateway_emulator.h"

using namespace orvix::update_host::testing;

int main(int argc, char** argv) {
  EmulatorSettings settings;
  int port = 0;
  long lifetimeSeconds = 300;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    const std::string value = argv[i + 1];
    if (option == "--port") {
      port = std::atoi(value.c_str());
    } else if (option == "--secret") {
      settings.secret = value;
    } else if (option == "--app-id") {
      settings.appId = value;
    } else if (option == "--lifetime") {
      lifetimeSeconds = std::atol(value.c_str());
    } else if (option == "--mode" && emulatorModeNamed(value)) {
      settings.mode = *emulatorModeNamed(value);
    } else {
      std::fprintf(stderr, "unknown option %s %s\n", option.c_str(), value.c_str());
      return 2;
    }
  }

  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);  // before any thread starts

  GatewayEmulator emulator(settings);
  const auto bound = emulator.start(port);
  if (!bound) {
    std::fprintf(stderr, "cannot listen on 127.0.0.1:%d\n", port);
    return 1;
  }
  std::printf("listening 127.0.0.1:%d\n", *bound);
  std::fflush(stdout);

  std::size_t reported = 0;
  const std::time_t end = std::time(nullptr) + lifetimeSeconds;
  while (std::time(nullptr) < end) {
    const timespec tick{0, 100'000'000};
    if (sigtimedwait(&stopSignals, nullptr, &tick) > 0) break;
    const auto requests = emulator.requests();
    for (; reported < requests.size(); ++reported) {
      const auto& request = requests[reported];
      std::printf("gateway: POST %s, signature %s, %s\n", request.path.c_str(),
                  request.signatureValid ? "valid" : "INVALID",
                  request.problems.empty() ? "request well-formed"
                                           : ("problem: " + request.problems.front()).c_str());
      if (request.body) std::printf("gateway: body %s\n", request.body->dump().c_str());
      std::fflush(stdout);
    }
  }
  emulator.stop();
  return 0;
}
