#pragma once

#include <cstdint>
#include <optional>
#include <vector>

struct soxr;

namespace orvix::capture {

// The last stage of a track's conversion: 16 kHz in, 16 kHz out, with the output rate raised or
// lowered by a fraction of a per mille. The capture timeline holds a track to its clock this way
// where inserting or cutting samples would be heard as clicks and would lose speech. libsoxr's
// variable-rate mode glides from one rate to the next.
//
// Nothing runs through here until the first correction is asked for; from then on every sample
// does, so that the filter's delay does not come and go.
//
// Not thread-safe: fed from one serial context, like the converter that owns it.
class RateSteering {
 public:
  static constexpr double maximumCorrection = 0.002;

  RateSteering();
  ~RateSteering();
  RateSteering(const RateSteering&) = delete;
  RateSteering& operator=(const RateSteering&) = delete;

  // From the next run on; clamped to ±maximumCorrection. Not a number changes nothing.
  void setCorrection(double correction);

  struct Run {
    const float* samples = nullptr;
    std::int64_t count = 0;
    // The capture time of the run's first sample, in nanoseconds of the machine's uptime.
    std::optional<std::uint64_t> captureTime;
  };
  // The run itself while no correction was ever asked for (or the resampler could not be made);
  // otherwise the steered output, valid until the next call.
  Run process(const Run& run);

 private:
  bool build();

  soxr* resampler_ = nullptr;
  bool failed_ = false;
  double correction_ = 0;
  double applied_ = 0;
  // Output samples the input so far was worth at the rates asked for, less those written: what
  // the filter holds.
  double owed_ = 0;
  std::vector<float> output_;
};

}  // namespace orvix::capture
