#include "OrvixAudioCaptureHost/pcm_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <utility>

namespace orvix::capture {

// Track files are little-endian; the samples are written as the machine holds them.
static_assert(std::endian::native == std::endian::little);

std::unique_ptr<PcmWriter> PcmWriter::create(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  return std::unique_ptr<PcmWriter>(new PcmWriter(fd));
}

PcmWriter::~PcmWriter() { close(); }

std::int16_t PcmWriter::toInt16(float sample) {
  // NaN compares false everywhere; treat it as silence rather than let it reach the cast.
  if (!(sample == sample)) return 0;
  const double clamped = std::clamp(static_cast<double>(sample), -1.0, 1.0);
  return static_cast<std::int16_t>(std::round(clamped * 32767.0));
}

void PcmWriter::append(const float* samples, std::int64_t count, bool silence) {
  if (count < 1) return;
  std::lock_guard lock(lock_);
  packed_.assign(static_cast<std::size_t>(count), 0);
  double peak = 0;
  if (!silence) {
    for (std::int64_t i = 0; i < count; ++i) {
      const float sample = samples[i];
      if (sample == sample)
        peak = std::max(peak, std::min(1.0, std::fabs(static_cast<double>(sample))));
      packed_[static_cast<std::size_t>(i)] = toInt16(sample);
    }
  }
  writeLocked(packed_.data(), packed_.size() * sizeof(std::int16_t));
  sampleCount_ += count;
  level_ = std::min(1.0, peak);
}

void PcmWriter::appendSilence(std::int64_t count) {
  if (count <= 0) return;
  static const std::vector<std::int16_t> zeros(static_cast<std::size_t>(kSilencePieceSamples), 0);
  std::lock_guard lock(lock_);
  for (std::int64_t left = count; left > 0;) {
    const std::int64_t piece = std::min(left, kSilencePieceSamples);
    writeLocked(zeros.data(), static_cast<std::size_t>(piece) * sizeof(std::int16_t));
    left -= piece;
  }
  sampleCount_ += count;
  level_ = 0;
}

void PcmWriter::setWriteObserver(WriteObserver observer) {
  std::lock_guard lock(lock_);
  writeObserver_ = std::move(observer);
}

void PcmWriter::writeLocked(const void* bytes, std::size_t size) {
  if (failed_ || fd_ < 0) return;
  if (writeObserver_) writeObserver_(size);
  const char* cursor = static_cast<const char*>(bytes);
  while (size > 0) {
    const ssize_t written = ::write(fd_, cursor, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      failed_ = true;
      return;
    }
    cursor += written;
    size -= static_cast<std::size_t>(written);
  }
}

PcmWriter::Snapshot PcmWriter::snapshot() const {
  std::lock_guard lock(lock_);
  return {sampleCount_, level_};
}

bool PcmWriter::writeFailed() const {
  std::lock_guard lock(lock_);
  return failed_;
}

void PcmWriter::close() {
  std::lock_guard lock(lock_);
  if (fd_ < 0) return;
  // Failures are ignored: finalisation measures the file and judges it.
  (void)::fsync(fd_);
  ::close(fd_);
  fd_ = -1;
}

}  // namespace orvix::capture
