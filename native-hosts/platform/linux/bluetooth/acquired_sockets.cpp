#include "platform/linux/bluetooth/acquired_sockets.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace orvix::platform::linux_bluetooth {

namespace {

// More than any ATT packet (at most 517 bytes of MTU).
constexpr std::size_t kReadBuffer = 4096;
// Notifications read in one go before the bus gets its turn again.
constexpr int kReadsPerWakeUp = 64;

}  // namespace

AcquiredSockets::~AcquiredSockets() { closeAll(); }

void AcquiredSockets::add(const std::string& path, SocketKind kind, int fd) {
  remove(path, kind);
  const int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, (flags < 0 ? 0 : flags) | O_NONBLOCK);
  sockets_[{path, kind}].fd = fd;
}

void AcquiredSockets::remove(const std::string& path, SocketKind kind) {
  auto found = sockets_.find({path, kind});
  if (found != sockets_.end()) close(found);
}

void AcquiredSockets::close(std::map<Key, Socket>::iterator socket) {
  ::close(socket->second.fd);
  auto queued = std::move(socket->second.queued);
  sockets_.erase(socket);
  for (auto& [bytes, done] : queued) done(false);
}

void AcquiredSockets::closeAll() {
  while (!sockets_.empty()) close(sockets_.begin());
}

void AcquiredSockets::write(const std::string& path, std::vector<std::uint8_t> bytes,
                            Written done) {
  auto found = sockets_.find({path, SocketKind::write});
  if (found == sockets_.end() || found->second.queued.size() >= kMaximumQueuedWrites) {
    done(false);
    return;
  }
  found->second.queued.emplace_back(std::move(bytes), std::move(done));
  if (!writeQueued(found->second)) close(found);
}

bool AcquiredSockets::writeQueued(Socket& socket) {
  while (!socket.queued.empty()) {
    auto& [bytes, done] = socket.queued.front();
    const auto sent = ::send(socket.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;  // POLLOUT resumes
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0) return false;
    auto finished = std::move(done);
    socket.queued.pop_front();
    finished(true);
  }
  return true;
}

void AcquiredSockets::addPollEntries(std::vector<pollfd>& entries, bool reading) const {
  for (const auto& [key, socket] : sockets_) {
    // A notification socket waits out the bound, its end included, so no packet before the end
    // is lost; a write socket is watched even when idle, so its end is seen.
    if (key.second == SocketKind::notify && !reading) continue;
    short events = key.second == SocketKind::notify ? POLLIN : 0;
    if (key.second == SocketKind::write && !socket.queued.empty()) events = POLLOUT;
    entries.push_back({socket.fd, events, 0});
  }
}

bool AcquiredSockets::readAll(const std::string& path, Socket& socket, const Events& events) {
  std::vector<std::uint8_t> buffer(kReadBuffer);
  for (int i = 0; i < kReadsPerWakeUp; ++i) {
    const auto got = ::recv(socket.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    events.value(path, {buffer.begin(), buffer.begin() + got});
  }
  return true;
}

void AcquiredSockets::serve(const std::vector<pollfd>& entries, std::size_t first,
                            const Events& events) {
  // The entries follow the map's order as it was when they were added; sockets added or removed
  // since are not in them, so each entry is matched by its descriptor.
  for (std::size_t i = first; i < entries.size(); ++i) {
    if (entries[i].revents == 0) continue;
    for (auto socket = sockets_.begin(); socket != sockets_.end(); ++socket) {
      if (socket->second.fd != entries[i].fd) continue;
      const auto [path, kind] = socket->first;
      bool alive = true;
      if (entries[i].revents & POLLIN) alive = readAll(path, socket->second, events);
      if (alive && (entries[i].revents & POLLOUT)) alive = writeQueued(socket->second);
      if (alive && (entries[i].revents & (POLLHUP | POLLERR | POLLNVAL)) &&
          !(entries[i].revents & POLLIN)) {
        alive = false;
      }
      if (!alive) {
        close(socket);
        events.closed(path, kind);
      }
      break;
    }
  }
}

}  // namespace orvix::platform::linux_bluetooth
