#include "OrvixAudioCaptureHost/rate_steering.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>

namespace orvix::capture {

namespace {

constexpr double kRate = 16000;

// Input samples per output sample for an output rate raised by `correction`.
double ioRatio(double correction) { return 1 / (1 + correction); }

}  // namespace

RateSteering::RateSteering() = default;

RateSteering::~RateSteering() {
  if (resampler_ != nullptr) soxr_delete(resampler_);
}

void RateSteering::setCorrection(double correction) {
  if (!std::isfinite(correction)) return;
  correction_ = std::clamp(correction, -maximumCorrection, maximumCorrection);
}

bool RateSteering::build() {
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, SOXR_VR);
  soxr_error_t error = nullptr;
  // In variable-rate mode the two rates given say the largest input-to-output ratio to be used.
  resampler_ = soxr_create(ioRatio(-maximumCorrection), 1, 1, &error, &io, &quality, nullptr);
  if (error == nullptr) error = soxr_set_io_ratio(resampler_, ioRatio(correction_), 0);
  if (error != nullptr) {
    if (resampler_ != nullptr) soxr_delete(resampler_);
    resampler_ = nullptr;
    failed_ = true;
    return false;
  }
  applied_ = correction_;
  return true;
}

RateSteering::Run RateSteering::process(const Run& run) {
  if (resampler_ == nullptr && (correction_ == 0 || failed_ || !build())) return run;
  if (run.count < 1 || run.samples == nullptr) return {};
  const auto count = static_cast<std::size_t>(run.count);
  if (correction_ != applied_) {
    // Glides to the new rate over this run's length.
    if (soxr_set_io_ratio(resampler_, ioRatio(correction_), count) == nullptr) {
      applied_ = correction_;
    }
  }
  // The resampler takes input only as far as it has room to write; what it left is offered
  // again with more room.
  const std::size_t room = count + count / 64 + 64;
  std::size_t taken = 0;
  std::size_t produced = 0;
  for (int pass = 0; pass < 4 && (pass == 0 || taken < count); ++pass) {
    if (output_.size() < produced + room) output_.resize(produced + room);
    std::size_t consumed = 0;
    std::size_t written = 0;
    if (soxr_process(resampler_, run.samples + taken, count - taken, &consumed,
                     output_.data() + produced, room, &written) != nullptr) {
      return {};
    }
    taken += consumed;
    produced += written;
    if (consumed == 0 && written == 0) break;
  }
  owed_ += static_cast<double>(taken) * (1 + applied_) - static_cast<double>(produced);
  if (produced == 0) return {};
  Run out{output_.data(), static_cast<std::int64_t>(produced), std::nullopt};
  if (run.captureTime) {
    // The output ends where the input ends, less what the filter still holds.
    const double end = static_cast<double>(*run.captureTime) +
                       static_cast<double>(run.count) * 1e9 / kRate;
    const double start =
        end - (owed_ + static_cast<double>(produced)) * 1e9 / (kRate * (1 + applied_));
    if (std::isfinite(start) && start >= 0) {
      out.captureTime = static_cast<std::uint64_t>(std::llround(start));
    }
  }
  return out;
}

}  // namespace orvix::capture
