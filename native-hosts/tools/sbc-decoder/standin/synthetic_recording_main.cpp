// sbc-synthetic-recording SECONDS OUTPUT.au: writes the deterministic 44.1 kHz stereo test signal
// that the demo and the benchmarks encode with sbcenc.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/sbc-decoder/standin/synthetic_recording.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s SECONDS OUTPUT.au\n", argv[0]);
    return 2;
  }
  constexpr int kSampleRate = 44100;
  const long seconds = std::strtol(argv[1], nullptr, 10);
  if (seconds <= 0 || seconds > 3600) {
    std::fprintf(stderr, "seconds must be 1 to 3600\n");
    return 2;
  }
  return orvix::sbc_decoder::writeSyntheticRecording(argv[2], seconds * kSampleRate, kSampleRate)
             ? 0
             : 1;
}
