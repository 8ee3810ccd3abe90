#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace orvix::capture {

// One track file: raw 16 kHz mono signed 16-bit little-endian PCM, appended from any thread.
// Keeps the number of samples written and the peak level of the latest write for progress.
//
// A write that fails (disk full, file gone) is remembered and ends writing to this track only:
// the other track and the command loop go on, and the sample count keeps advancing so that the
// timeline does not try to refill what was lost. Finalisation refuses a failed track, since a
// hole in the middle would misalign the whole file.
class PcmWriter {
 public:
  // Absent when the file cannot be created or opened (an existing file is truncated).
  static std::unique_ptr<PcmWriter> create(const std::string& path);
  ~PcmWriter();
  PcmWriter(const PcmWriter&) = delete;
  PcmWriter& operator=(const PcmWriter&) = delete;

  struct Snapshot {
    std::int64_t samples = 0;
    double level = 0;
  };

  // `count` float samples; with `silence` the same number of zeros is written and the level
  // reads 0 without the samples being read.
  void append(const float* samples, std::int64_t count, bool silence = false);
  void appendSilence(std::int64_t count);
  Snapshot snapshot() const;
  std::int64_t sampleCount() const { return snapshot().samples; }
  bool writeFailed() const;
  // Flushes to disk and closes; failures are ignored. Later writes are dropped.
  void close();

  // Called, under the writer's lock, with the size in bytes of every piece handed to the file,
  // so that the piece sizes a long silence is split into can be watched from outside.
  using WriteObserver = std::function<void(std::size_t bytes)>;
  void setWriteObserver(WriteObserver observer);

  // Silence is written in pieces of at most this many samples (64 KiB).
  static constexpr std::int64_t kSilencePieceSamples = 32768;

  // The 16-bit value of one float sample: clamped to -1...1, scaled by 32767, halves rounded
  // away from zero. -1.0 gives -32767, never -32768.
  static std::int16_t toInt16(float sample);

 private:
  explicit PcmWriter(int fd) : fd_(fd) {}
  // Called with the lock held.
  void writeLocked(const void* bytes, std::size_t size);

  mutable std::mutex lock_;
  int fd_;
  bool failed_ = false;
  std::int64_t sampleCount_ = 0;
  double level_ = 0;
  std::vector<std::int16_t> packed_;  // reused between appends; guarded by the lock
  WriteObserver writeObserver_;       // guarded by the lock
};

}  // namespace orvix::capture
