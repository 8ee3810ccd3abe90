// Stand-in for a library the VX41 engine itself depends on and that ships only in vx41/lib beside
// the decoder, never in a system directory. The stand-in engine takes its sample rounding from
// here, so it loads only when the dynamic loader searches vx41/lib for the engine's own
// dependencies, as it must for the real engine.
#include <algorithm>
#include <cmath>
#include <cstdint>

extern "C" __attribute__((visibility("default"))) std::int16_t vx41StandinRoundSample(float value) {
  if (!std::isfinite(value)) return 0;
  return static_cast<std::int16_t>(std::clamp(std::lrint(value), -32768L, 32767L));
}
