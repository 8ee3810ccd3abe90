// Measuring the finished tracks, the media-mode copy, and removing files that are not kept.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "OrvixAudioCaptureHost/capture_controller.h"

namespace orvix::capture {

namespace {

constexpr std::int64_t kMaximumTrackBytes = 5'368'709'120;  // 5 GiB
constexpr std::size_t kCopyPieceBytes = 16384;

std::int64_t fileSize(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return 0;
  return static_cast<std::int64_t>(status.st_size);
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Reads exactly `size` bytes unless the file ends or fails first.
bool readFully(int fd, char* buffer, std::size_t size) {
  while (size > 0) {
    const ssize_t got = ::read(fd, buffer, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    buffer += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

bool writeFully(int fd, const char* buffer, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, buffer, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    buffer += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool copyTrack(const std::string& from, int output, std::int64_t byteLength) {
  FileDescriptor input(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (input.get() < 0) return false;
  std::array<char, kCopyPieceBytes> buffer{};
  for (std::int64_t left = byteLength; left > 0;) {
    const auto piece = static_cast<std::size_t>(std::min<std::int64_t>(left, kCopyPieceBytes));
    if (!readFully(input.get(), buffer.data(), piece)) return false;
    if (!writeFully(output, buffer.data(), piece)) return false;
    left -= static_cast<std::int64_t>(piece);
  }
  return ::fsync(output) == 0;
}

}  // namespace

std::optional<FinalizedCapture> CaptureController::finalizeCapture() {
  // A track that lost writes has a hole somewhere in the middle; its length no longer says
  // where its samples belong, so it is not handed over as a finished recording.
  const PcmWriter* microphone = timeline_.microphoneWriter();
  if (timeline_.systemWriter().writeFailed() || (microphone && microphone->writeFailed())) {
    return std::nullopt;
  }
  std::int64_t byteLength = fileSize(systemPath_);
  if (arguments_.meeting) byteLength = std::max(byteLength, fileSize(microphonePath_));
  if (byteLength < 1 || byteLength % 2 != 0 || byteLength > kMaximumTrackBytes) return std::nullopt;
  FinalizedCapture result{byteLength * 1000 / 2 / 16000, byteLength};
  if (arguments_.meeting) return result;
  FileDescriptor output(
      ::open(arguments_.outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (output.get() < 0) return std::nullopt;
  outputCreated_ = true;
  if (!copyTrack(systemPath_, output.get(), byteLength)) return std::nullopt;
  return result;
}

void CaptureController::removeCaptureFiles() {
  ::unlink(systemPath_.c_str());
  // Media mode never creates a microphone track; a file of that name belongs to someone else.
  if (arguments_.meeting) ::unlink(microphonePath_.c_str());
  // Likewise the output path: it is ours only once the media copy has written to it. Whatever
  // was there before (a meeting never writes it, a cancel comes before any copy) is left alone.
  if (outputCreated_) ::unlink(arguments_.outputPath.c_str());
}

}  // namespace orvix::capture
