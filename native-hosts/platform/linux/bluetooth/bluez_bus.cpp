#include "platform/linux/bluetooth/bluez_bus.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "common/time/current_thread_name.h"
#include "platform/linux/bluetooth/bus_message_reading.h"

namespace orvix::platform::linux_bluetooth {

namespace {

constexpr const char* kObjectManager = "org.freedesktop.DBus.ObjectManager";
constexpr const char* kNameOwnerRule =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='org.bluez'";
constexpr const char* kPropertiesRule =
    "type='signal',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
    "arg0namespace='org.bluez'";

// The name D-Bus gives the failure of a local step, so the main thread sees one vocabulary.
BusError localFailure(int negativeErrno) {
  return {"org.freedesktop.DBus.Error.Failed", std::strerror(-negativeErrno)};
}

// The error a reply carried, which sd-bus may leave without a name or message.
BusError replyError(const sd_bus_error& error) {
  return {error.name ? error.name : "", error.message ? error.message : ""};
}

bool isAbsentService(const sd_bus_error* error) {
  return sd_bus_error_has_name(error, "org.freedesktop.DBus.Error.ServiceUnknown") ||
         sd_bus_error_has_name(error, "org.freedesktop.DBus.Error.NameHasNoOwner");
}

void wake(int fd) {
  const std::uint64_t one = 1;
  // A full counter already means "wake up"; nothing else can go wrong with an eventfd.
  [[maybe_unused]] const auto written = ::write(fd, &one, sizeof one);
}

}  // namespace

class BluezBus::Worker {
 public:
  Worker(RunLoop& mainLoop, BluezBusListener& listener)
      : mainLoop_(mainLoop), shared_(std::make_shared<Shared>(listener)) {
    // Connecting to a local socket is immediate, so it happens here: a machine without a bus
    // has its answer queued before anything else the caller posts afterwards.
    const int r = sd_bus_open_system(&bus_);
    if (r < 0) {
      bus_ = nullptr;
      deliverObjects(localFailure(r), {});
    }
    thread_ = std::thread([this] { run(); });
  }

  ~Worker() {
    shared_->alive = false;  // main thread: queued deliveries now do nothing
    stopping_ = true;
    wake(shared_->wakeFd);
    thread_.join();
  }

  void call(BusCall call, BusReply reply) {
    request([this, call = std::move(call), reply = std::move(reply)](sd_bus* bus) mutable {
      std::uint64_t cookie = 0;
      const int r = bus ? send(bus, call, cookie) : -ENOTCONN;
      if (r < 0) {
        deliverReply(std::move(reply), bus ? localFailure(r) : kNoBus);
      } else {
        pending_.emplace(cookie, std::move(reply));
      }
    });
  }

  void acquire(std::string path, SocketKind kind, AcquireReply reply) {
    request([this, path = std::move(path), kind, reply = std::move(reply)](sd_bus* bus) mutable {
      std::uint64_t cookie = 0;
      const int r = bus ? sendAcquire(bus, path, kind, cookie) : -ENOTCONN;
      if (r < 0) {
        deliverAcquired(std::move(reply), bus ? localFailure(r) : kNoBus, 0);
      } else {
        pendingAcquires_.emplace(cookie, Acquiring{std::move(path), kind, std::move(reply)});
      }
    });
  }

  void release(std::string path, SocketKind kind) {
    request([this, path = std::move(path), kind](sd_bus*) { sockets_.remove(path, kind); });
  }

  void writeToSocket(std::string path, std::vector<std::uint8_t> bytes,
                     std::function<void(bool)> written) {
    request([this, path = std::move(path), bytes = std::move(bytes),
             written = std::move(written)](sd_bus*) mutable {
      sockets_.write(path, std::move(bytes), [this, written = std::move(written)](bool ok) {
        deliver([written, ok](BluezBusListener&) { written(ok); });
      });
    });
  }

 private:
  // What the bus thread and the deliveries it posted share; outlives the worker while
  // deliveries are still queued.
  struct Shared {
    explicit Shared(BluezBusListener& l) : listener(&l), wakeFd(eventfd(0, EFD_CLOEXEC)) {}
    ~Shared() {
      if (wakeFd >= 0) ::close(wakeFd);
    }
    BluezBusListener* listener;
    bool alive = true;  // read and written on the main thread only
    int wakeFd;
    std::atomic<std::size_t> pending{0};
  };

  // Work for the bus thread; a null bus means there is none (any more): fail, or just clean up.
  using Request = std::function<void(sd_bus* bus)>;
  struct Acquiring {
    std::string path;
    SocketKind kind;
    AcquireReply reply;
  };
  inline static const BusError kNoBus{"org.freedesktop.DBus.Error.Disconnected", "no bus"};

  void request(Request work) {
    {
      std::lock_guard lock(requestsLock_);
      requests_.push_back(std::move(work));
    }
    wake(shared_->wakeFd);
  }

  template <typename Delivery>
  void deliver(Delivery delivery) {
    shared_->pending.fetch_add(1);
    mainLoop_.post([shared = shared_, delivery = std::move(delivery)]() mutable {
      // The bus thread stopped reading at the bound; the first delivery below it restarts it.
      if (shared->pending.fetch_sub(1) == kMaximumPendingDeliveries) wake(shared->wakeFd);
      if (shared->alive) delivery(*shared->listener);
    });
  }

  void deliverObjects(std::optional<BusError> failure, ObjectMap objects) {
    deliver([failure = std::move(failure), objects = std::move(objects)](
                BluezBusListener& listener) mutable {
      listener.busObjectsLoaded(failure, std::move(objects));
    });
  }

  void deliverReply(BusReply reply, std::optional<BusError> error) {
    deliver([reply = std::move(reply), error = std::move(error)](BluezBusListener&) {
      reply(error);
    });
  }

  void deliverAcquired(AcquireReply reply, std::optional<BusError> error, std::uint16_t mtu) {
    deliver([reply = std::move(reply), error = std::move(error), mtu](BluezBusListener&) {
      reply(error, mtu);
    });
  }

  AcquiredSockets::Events socketEvents() {
    return {[this](const std::string& path, std::vector<std::uint8_t> value) {
              deliver([path, value = std::move(value)](BluezBusListener& listener) mutable {
                listener.busSocketValue(path, std::move(value));
              });
            },
            [this](const std::string& path, SocketKind kind) {
              deliver([path, kind](BluezBusListener& listener) {
                listener.busSocketClosed(path, kind);
              });
            }};
  }

  void run() {
    detail::setCurrentThreadName("OrvixBleHost.bluez");
    sd_bus* bus = std::exchange(bus_, nullptr);  // the bus thread's alone from here on
    if (bus != nullptr) {
      int r = addMatches(bus);
      if (r >= 0) r = loadObjects(bus);
      if (r < 0) {
        deliverObjects(localFailure(r), {});
      } else {
        serve(bus);
      }
    }
    sockets_.closeAll();
    failRequests();
    if (bus != nullptr) sd_bus_flush_close_unref(bus);
    // Whatever the state of the bus, stay until asked to stop, answering calls with failures.
    while (!stopping_) {
      pollfd wakeUp{shared_->wakeFd, POLLIN, 0};
      ::poll(&wakeUp, 1, -1);
      std::uint64_t count = 0;
      [[maybe_unused]] const auto got = ::read(shared_->wakeFd, &count, sizeof count);
      failRequests();
    }
  }

  int addMatches(sd_bus* bus) {
    int r = sd_bus_match_signal_async(bus, nullptr, nullptr, nullptr, kObjectManager,
                                      "InterfacesAdded", onInterfacesAdded, nullptr, this);
    if (r >= 0) {
      r = sd_bus_match_signal_async(bus, nullptr, nullptr, nullptr, kObjectManager,
                                    "InterfacesRemoved", onInterfacesRemoved, nullptr, this);
    }
    if (r >= 0) r = sd_bus_add_match_async(bus, nullptr, kPropertiesRule, onPropertiesChanged,
                                           nullptr, this);
    if (r >= 0) r = sd_bus_add_match_async(bus, nullptr, kNameOwnerRule, onNameOwnerChanged,
                                           nullptr, this);
    return r;
  }

  int loadObjects(sd_bus* bus) {
    return sd_bus_call_method_async(bus, nullptr, "org.bluez", "/", kObjectManager,
                                    "GetManagedObjects", onObjects, this, "");
  }

  void serve(sd_bus* bus) {
    while (!stopping_) {
      sendRequests(bus);
      const bool reading = shared_->pending.load() < kMaximumPendingDeliveries;
      int r = 0;
      if (reading) {
        while ((r = sd_bus_process(bus, nullptr)) > 0) {
          if (shared_->pending.load() >= kMaximumPendingDeliveries) break;
        }
      }
      if (r < 0) {
        // The bus went away (the daemon stopped): nothing BlueZ said holds any more.
        deliverObjects(localFailure(r), {});
        failPending();
        return;
      }
      waitForWork(bus, reading);
    }
  }

  void waitForWork(sd_bus* bus, bool reading) {
    std::vector<pollfd> fds = {{shared_->wakeFd, POLLIN, 0}, {sd_bus_get_fd(bus), 0, 0}};
    sockets_.addPollEntries(fds, reading);
    int timeoutMs = -1;
    if (reading) {
      const int events = sd_bus_get_events(bus);
      fds[1].events = static_cast<short>(events < 0 ? POLLIN : events);
      std::uint64_t until = 0;
      if (sd_bus_get_timeout(bus, &until) >= 0 && until != UINT64_MAX) {
        // sd-bus states its next deadline (a call's reply time-out) on CLOCK_MONOTONIC, which
        // is steady_clock's clock on Linux.
        const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::steady_clock::now().time_since_epoch())
                             .count();
        const auto left = static_cast<std::int64_t>(until) - now;
        timeoutMs = left <= 0 ? 0 : static_cast<int>(std::min<std::int64_t>(left / 1000 + 1,
                                                                             60'000));
      }
    }
    if (::poll(fds.data(), fds.size(), timeoutMs) <= 0) return;
    if (fds[0].revents & POLLIN) {
      std::uint64_t count = 0;
      [[maybe_unused]] const auto got = ::read(shared_->wakeFd, &count, sizeof count);
    }
    sockets_.serve(fds, 2, socketEvents());
  }

  std::vector<Request> takeRequests() {
    std::lock_guard lock(requestsLock_);
    return std::exchange(requests_, {});
  }

  void sendRequests(sd_bus* bus) {
    for (auto& work : takeRequests()) work(bus);
  }

  int send(sd_bus* bus, const BusCall& call, std::uint64_t& cookie) {
    sd_bus_message* message = nullptr;
    int r = sd_bus_message_new_method_call(bus, &message, "org.bluez", call.path.c_str(),
                                           call.interface.c_str(), call.method.c_str());
    if (r < 0) return r;
    switch (call.arguments) {
      case BusCall::Arguments::none:
        break;
      case BusCall::Arguments::discoveryFilter:
        r = sd_bus_message_append(message, "a{sv}", 2, "Transport", "s", "le", "DuplicateData",
                                  "b", call.duplicateData ? 1 : 0);
        break;
      case BusCall::Arguments::writeValue:
        r = sd_bus_message_append_array(message, SD_BUS_TYPE_BYTE, call.value.data(),
                                        call.value.size());
        if (r >= 0) {
          r = sd_bus_message_append(message, "a{sv}", 1, "type", "s", call.writeType.c_str());
        }
        break;
    }
    if (r >= 0) r = sd_bus_call_async(bus, nullptr, message, onReply, this, 0);
    if (r >= 0) r = sd_bus_message_get_cookie(message, &cookie);
    sd_bus_message_unref(message);
    return r;
  }

  int sendAcquire(sd_bus* bus, const std::string& path, SocketKind kind, std::uint64_t& cookie) {
    sd_bus_message* message = nullptr;
    int r = sd_bus_message_new_method_call(
        bus, &message, "org.bluez", path.c_str(), "org.bluez.GattCharacteristic1",
        kind == SocketKind::notify ? "AcquireNotify" : "AcquireWrite");
    if (r < 0) return r;
    r = sd_bus_message_append(message, "a{sv}", 0);
    if (r >= 0) r = sd_bus_call_async(bus, nullptr, message, onAcquired, this, 0);
    if (r >= 0) r = sd_bus_message_get_cookie(message, &cookie);
    sd_bus_message_unref(message);
    return r;
  }

  void failRequests() {
    for (auto& work : takeRequests()) work(nullptr);
  }

  void failPending() {
    for (auto& [cookie, reply] : pending_) {
      deliverReply(std::move(reply), BusError{"org.freedesktop.DBus.Error.Disconnected",
                                              "the bus went away"});
    }
    pending_.clear();
    for (auto& [cookie, acquiring] : pendingAcquires_) {
      deliverAcquired(std::move(acquiring.reply), kNoBus, 0);
    }
    pendingAcquires_.clear();
  }

  bool fromBluez(sd_bus_message* message) const {
    const char* sender = sd_bus_message_get_sender(message);
    return sender != nullptr && !owner_.empty() && owner_ == sender;
  }

  // --- sd-bus callbacks (bus thread) ---------------------------------------------------
  static Worker& self(void* userdata) { return *static_cast<Worker*>(userdata); }

  static int onReply(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto& worker = self(userdata);
    std::uint64_t cookie = 0;
    if (sd_bus_message_get_reply_cookie(message, &cookie) < 0) return 0;
    auto found = worker.pending_.find(cookie);
    if (found == worker.pending_.end()) return 0;
    auto reply = std::move(found->second);
    worker.pending_.erase(found);
    std::optional<BusError> failure;
    if (const sd_bus_error* error = sd_bus_message_get_error(message)) {
      failure = replyError(*error);
    }
    worker.deliverReply(std::move(reply), std::move(failure));
    return 0;
  }

  static int onAcquired(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto& worker = self(userdata);
    std::uint64_t cookie = 0;
    if (sd_bus_message_get_reply_cookie(message, &cookie) < 0) return 0;
    auto found = worker.pendingAcquires_.find(cookie);
    if (found == worker.pendingAcquires_.end()) return 0;
    auto acquiring = std::move(found->second);
    worker.pendingAcquires_.erase(found);
    if (const sd_bus_error* error = sd_bus_message_get_error(message)) {
      worker.deliverAcquired(std::move(acquiring.reply), replyError(*error), 0);
      return 0;
    }
    int fd = -1;
    std::uint16_t mtu = 0;
    // The descriptor belongs to the message; the copy is ours.
    const int r = sd_bus_message_read(message, "hq", &fd, &mtu);
    const int kept = r < 0 ? -1 : ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (kept < 0) {
      worker.deliverAcquired(std::move(acquiring.reply),
                             localFailure(r < 0 ? r : -errno), 0);
      return 0;
    }
    worker.sockets_.add(acquiring.path, acquiring.kind, kept);
    worker.deliverAcquired(std::move(acquiring.reply), std::nullopt, mtu);
    return 0;
  }

  static int onObjects(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto& worker = self(userdata);
    const sd_bus_error* error = sd_bus_message_get_error(message);
    if (error != nullptr) {
      worker.owner_.clear();
      if (isAbsentService(error)) {
        worker.deliverObjects(std::nullopt, {});  // no BlueZ on this machine: no adapter
      } else {
        worker.deliverObjects(replyError(*error), {});
      }
      return 0;
    }
    ObjectMap objects;
    if (readObjects(message, objects) < 0) return 0;
    const char* sender = sd_bus_message_get_sender(message);
    worker.owner_ = sender ? sender : "";
    worker.deliverObjects(std::nullopt, std::move(objects));
    return 0;
  }

  static int onInterfacesAdded(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto& worker = self(userdata);
    if (!worker.fromBluez(message)) return 0;
    const char* path = nullptr;
    InterfaceMap interfaces;
    if (sd_bus_message_read_basic(message, SD_BUS_TYPE_OBJECT_PATH, &path) < 0 ||
        readInterfaces(message, interfaces) < 0) {
      return 0;
    }
    worker.deliver([path = std::string(path), interfaces = std::move(interfaces)](
                       BluezBusListener& listener) mutable {
      listener.busInterfacesAdded(path, std::move(interfaces));
    });
    return 0;
  }

  static int onInterfacesRemoved(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto& worker = self(userdata);
    if (!worker.fromBluez(message)) return 0;
    const char* path = nullptr;
    std::vector<std::string> interfaces;
    if (sd_bus_message_read_basic(message, SD_BUS_TYPE_OBJECT_PATH, &path) < 0 ||
        readStrings(message, interfaces) < 0) {
      return 0;
    }
    worker.deliver([path = std::string(path), interfaces = std::move(interfaces)](
                       BluezBusListener& listener) {
      listener.busInterfacesRemoved(path, interfaces);
    });
    return 0;
  }

  static int onPropertiesChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto& worker = self(userdata);
    if (!worker.fromBluez(message)) return 0;
    const char* path = sd_bus_message_get_path(message);
    const char* interface = nullptr;
    PropertyMap changed;
    std::vector<std::string> invalidated;
    if (path == nullptr ||
        sd_bus_message_read_basic(message, SD_BUS_TYPE_STRING, &interface) < 0 ||
        readProperties(message, changed) < 0 || readStrings(message, invalidated) < 0) {
      return 0;
    }
    worker.deliver([path = std::string(path), interface = std::string(interface),
                    changed = std::move(changed),
                    invalidated = std::move(invalidated)](BluezBusListener& listener) mutable {
      listener.busPropertiesChanged(path, interface, std::move(changed), invalidated);
    });
    return 0;
  }

  static int onNameOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto& worker = self(userdata);
    const char* name = nullptr;
    const char* oldOwner = nullptr;
    const char* newOwner = nullptr;
    if (sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) < 0) return 0;
    worker.owner_ = newOwner;
    if (worker.owner_.empty()) {
      worker.deliverObjects(std::nullopt, {});  // BlueZ stopped: every object went with it
    } else {
      worker.loadObjects(sd_bus_message_get_bus(message));  // BlueZ (re)started
    }
    return 0;
  }

  RunLoop& mainLoop_;
  std::shared_ptr<Shared> shared_;
  std::atomic<bool> stopping_{false};
  std::mutex requestsLock_;
  std::vector<Request> requests_;
  // Bus thread only.
  std::map<std::uint64_t, BusReply> pending_;
  std::map<std::uint64_t, Acquiring> pendingAcquires_;
  AcquiredSockets sockets_;
  std::string owner_;  // BlueZ's unique name on the bus; signals from anyone else are ignored
  sd_bus* bus_ = nullptr;  // opened by the constructor, handed to the bus thread
  std::thread thread_;
};

BluezBus::BluezBus(RunLoop& mainLoop, BluezBusListener& listener)
    : worker_(std::make_unique<Worker>(mainLoop, listener)) {}

BluezBus::~BluezBus() = default;

void BluezBus::call(BusCall call, BusReply reply) { worker_->call(std::move(call), std::move(reply)); }

void BluezBus::acquire(std::string path, SocketKind kind, AcquireReply reply) {
  worker_->acquire(std::move(path), kind, std::move(reply));
}

void BluezBus::release(std::string path, SocketKind kind) {
  worker_->release(std::move(path), kind);
}

void BluezBus::writeToSocket(std::string path, std::vector<std::uint8_t> bytes,
                             std::function<void(bool)> written) {
  worker_->writeToSocket(std::move(path), std::move(bytes), std::move(written));
}

}  // namespace orvix::platform::linux_bluetooth
