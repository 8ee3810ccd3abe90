#pragma once

// The sockets BlueZ hands over for a characteristic (AcquireNotify, AcquireWrite): sequenced
// packet sockets on which one packet is one notification, or one write without response. Held
// and served on the bus thread only, in the same poll as the bus.

#include <poll.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace orvix::platform::linux_bluetooth {

enum class SocketKind { notify, write };

class AcquiredSockets {
 public:
  // A write waits here until the socket takes it; the window of writes without response on the
  // main thread keeps this short.
  static constexpr std::size_t kMaximumQueuedWrites = 64;

  struct Events {
    std::function<void(const std::string& path, std::vector<std::uint8_t> value)> value;
    // The socket ended (BlueZ closed it: the link or the subscription went).
    std::function<void(const std::string& path, SocketKind kind)> closed;
  };
  using Written = std::function<void(bool written)>;

  AcquiredSockets() = default;
  ~AcquiredSockets();
  AcquiredSockets(const AcquiredSockets&) = delete;
  AcquiredSockets& operator=(const AcquiredSockets&) = delete;

  // Takes ownership of `fd` (made non-blocking here); replaces the same path's socket of `kind`.
  void add(const std::string& path, SocketKind kind, int fd);
  void remove(const std::string& path, SocketKind kind);
  // `done` is called (on the bus thread) once the socket took the packet, or failed.
  void write(const std::string& path, std::vector<std::uint8_t> bytes, Written done);

  // Adds what to wait for: notification sockets only while `reading` (the bus's own bound on
  // deliveries not yet run).
  void addPollEntries(std::vector<pollfd>& entries, bool reading) const;
  // Serves the entries from `first` on, as addPollEntries added them.
  void serve(const std::vector<pollfd>& entries, std::size_t first, const Events& events);
  // Closes every socket, failing the writes still queued.
  void closeAll();

 private:
  struct Socket {
    int fd = -1;
    std::deque<std::pair<std::vector<std::uint8_t>, Written>> queued;
  };
  using Key = std::pair<std::string, SocketKind>;

  void close(std::map<Key, Socket>::iterator socket);
  // False when the socket ended.
  bool readAll(const std::string& path, Socket& socket, const Events& events);
  bool writeQueued(Socket& socket);

  std::map<Key, Socket> sockets_;
};

}  // namespace orvix::platform::linux_bluetooth
