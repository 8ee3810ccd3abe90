// orvix-sbc-decoder: decodes the recorder's SBC audio into raw PCM on standard output, directly or
// through the VX41 enhancement engine. The outcome is the exit status, with a code on standard
// error in engine mode.
#include <csignal>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "tools/sbc-decoder/sbc_decoder.h"

int main(int argc, char** argv) {
  // A consumer that went away must show up as a failed write (status 6), not kill the decoder.
  std::signal(SIGPIPE, SIG_IGN);

  const std::vector<std::string_view> arguments(argv + 1, argv + argc);
  orvix::sbc_decoder::DecoderEnvironment environment;
  if (const char* bypass = std::getenv("ORVIX_VX41_BYPASS")) environment.bypassVariable = bypass;
  return orvix::sbc_decoder::toExitCode(orvix::sbc_decoder::runDecoder(arguments, environment));
}
