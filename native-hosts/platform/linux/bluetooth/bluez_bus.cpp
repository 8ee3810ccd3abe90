#include "platform/linux/bluetooth/bluez_bus.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "common/time/current_thread_name.h"
#include "platform/linux/bluetooth/bus_message_reading.h"

namespace orvix::platform::linux_bluetooth {

namespace {

using namespace std::chrono_literals;

constexpr const char* kObjectManager = "org.freedesktop.DBus.ObjectManager";
constexpr const char* kNameOwnerRule =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='org.bluez'";
constexpr const char* kPropertiesRule =
    "type='signal',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
    "arg0namespace='org.bluez'";

// Waits between attempts to reach a bus that went away or was never there: soon after a restart
// of the bus daemon, rarely on a machine that has none.
constexpr std::chrono::milliseconds kFirstReconnectDelay = 250ms;
constexpr std::chrono::milliseconds kLongestReconnectDelay = 8s;

const BusError kNoBus{"org.freedesktop.DBus.Error.Disconnected", "no bus"};
const BusError kBusGone{"org.freedesktop.DBus.Error.Disconnected", "the bus went away"};

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

void drain(int fd) {
  std::uint64_t count = 0;
  [[maybe_unused]] const auto got = ::read(fd, &count, sizeof count);
}

// True when a characteristic's change carries a notified value.
bool carriesValue(std::string_view interface, const PropertyMap& changed) {
  return interface == kCharacteristicInterface && changed.contains("Value");
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

  void acquireWriteMtu(std::string path, MtuReply reply) {
    request([this, path = std::move(path), reply = std::move(reply)](sd_bus* bus) mutable {
      std::uint64_t cookie = 0;
      const int r = bus ? sendAcquireWrite(bus, path, cookie) : -ENOTCONN;
      if (r < 0) {
        deliverMtu(std::move(reply), bus ? localFailure(r) : kNoBus, 0);
      } else {
        pendingMtus_.emplace(cookie, std::move(reply));
      }
    });
  }

  void finishCalls(Duration limit) {
    auto finished = std::make_shared<std::promise<void>>();
    auto future = finished->get_future();
    request([this, finished](sd_bus*) {
      finishing_.push_back(finished);
      settleFinishing();
    });
    future.wait_for(limit);
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
    std::atomic<std::size_t> pendingValues{0};
  };

  // Work for the bus thread; a null bus means there is none (any more): fail, or just clean up.
  using Request = std::function<void(sd_bus* bus)>;

  void request(Request work) {
    {
      std::lock_guard lock(requestsLock_);
      requests_.push_back(std::move(work));
    }
    wake(shared_->wakeFd);
  }

  template <typename Delivery>
  void deliver(Delivery delivery, bool value = false) {
    shared_->pending.fetch_add(1);
    if (value) shared_->pendingValues.fetch_add(1);
    mainLoop_.post([shared = shared_, delivery = std::move(delivery), value]() mutable {
      // Room again below a bound: the bus thread tells of the values it dropped meanwhile.
      if (value && shared->pendingValues.fetch_sub(1) == kMaximumPendingValues) {
        wake(shared->wakeFd);
      }
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

  void deliverMtu(MtuReply reply, std::optional<BusError> error, std::uint16_t mtu) {
    deliver([reply = std::move(reply), error = std::move(error), mtu](BluezBusListener&) {
      reply(error, mtu);
    });
  }

  // Values dropped at the bound are told before the next value of their characteristic, and as
  // soon as the main loop has room again.
  void reportLostValues(const std::string* onlyPath = nullptr) {
    if (shared_->pendingValues.load() >= kMaximumPendingValues) return;
    for (auto lost = lostValues_.begin(); lost != lostValues_.end();) {
      if (onlyPath != nullptr && lost->first != *onlyPath) {
        ++lost;
        continue;
      }
      deliver([path = lost->first, count = lost->second](BluezBusListener& listener) {
        listener.busValuesLost(path, count);
      });
      lost = lostValues_.erase(lost);
    }
  }

  void run() {
    detail::setCurrentThreadName("OrvixBleHost.bluez");
    sd_bus* bus = std::exchange(bus_, nullptr);  // the bus thread's alone from here on
    auto reconnectDelay = std::chrono::milliseconds(kFirstReconnectDelay);
    while (!stopping_) {
      if (bus != nullptr) {
        int r = addMatches(bus);
        if (r >= 0) r = loadObjects(bus);
        if (r < 0) {
          deliverObjects(localFailure(r), {});
        } else if (serve(bus)) {
          reconnectDelay = kFirstReconnectDelay;  // it was up: the next loss starts afresh
        }
        owner_.clear();
        lostValues_.clear();
        failPending();
        sd_bus_flush_close_unref(bus);
        bus = nullptr;
      }
      // No bus: calls fail at once, and the bus is tried again after a while.
      waitForRequests(reconnectDelay);
      if (stopping_) break;
      reconnectDelay = std::min(reconnectDelay * 2, std::chrono::milliseconds(kLongestReconnectDelay));
      if (sd_bus_open_system(&bus) < 0) bus = nullptr;
    }
    failRequests();
    settleFinishing();
  }

  // Serves requests with failures until `delay` passed or the worker stops.
  void waitForRequests(std::chrono::milliseconds delay) {
    const auto until = std::chrono::steady_clock::now() + delay;
    while (!stopping_) {
      failRequests();
      settleFinishing();
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      if (left <= 0ms) return;
      pollfd wakeUp{shared_->wakeFd, POLLIN, 0};
      if (::poll(&wakeUp, 1, static_cast<int>(left.count()) + 1) > 0) drain(shared_->wakeFd);
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

  // Until the worker stops (true) or the bus goes away (false, reported as a failure).
  bool serve(sd_bus* bus) {
    while (!stopping_) {
      sendRequests(bus);
      settleFinishing();
      reportLostValues();
      const bool reading = shared_->pending.load() < kMaximumPendingDeliveries;
      int r = 0;
      if (reading) {
        while ((r = sd_bus_process(bus, nullptr)) > 0) {
          if (shared_->pending.load() >= kMaximumPendingDeliveries) break;
        }
      }
      if (r < 0) {
        // The bus went away (the daemon stopped): nothing BlueZ said holds any more.
        deliverObjects(kBusGone, {});
        return false;
      }
      settleFinishing();
      waitForWork(bus, reading);
    }
    return true;
  }

  void waitForWork(sd_bus* bus, bool reading) {
    pollfd fds[] = {{shared_->wakeFd, POLLIN, 0}, {sd_bus_get_fd(bus), 0, 0}};
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
    if (::poll(fds, reading ? 2 : 1, timeoutMs) <= 0) return;
    if (fds[0].revents & POLLIN) drain(shared_->wakeFd);
  }

  std::vector<Request> takeRequests() {
    std::lock_guard lock(requestsLock_);
    return std::exchange(requests_, {});
  }

  void sendRequests(sd_bus* bus) {
    for (auto& work : takeRequests()) work(bus);
  }

  void failRequests() {
    for (auto& work : takeRequests()) work(nullptr);
  }

  // Releases the waits of finishCalls once nothing sent is unanswered (or nothing can be).
  void settleFinishing() {
    if (finishing_.empty() || !pending_.empty() || !pendingMtus_.empty()) return;
    for (auto& finished : finishing_) finished->set_value();
    finishing_.clear();
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
        r = sd_bus_message_append(message, "a{sv}", 3, "Transport", "s", "le", "DuplicateData",
                                  "b", call.duplicateData ? 1 : 0, "RSSI", "n", call.rssiFloor);
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

  int sendAcquireWrite(sd_bus* bus, const std::string& path, std::uint64_t& cookie) {
    sd_bus_message* message = nullptr;
    int r = sd_bus_message_new_method_call(bus, &message, "org.bluez", path.c_str(),
                                           "org.bluez.GattCharacteristic1", "AcquireWrite");
    if (r < 0) return r;
    r = sd_bus_message_append(message, "a{sv}", 0);
    if (r >= 0) r = sd_bus_call_async(bus, nullptr, message, onMtu, this, 0);
    if (r >= 0) r = sd_bus_message_get_cookie(message, &cookie);
    sd_bus_message_unref(message);
    return r;
  }

  void failPending() {
    for (auto& [cookie, reply] : pending_) deliverReply(std::move(reply), kBusGone);
    pending_.clear();
    for (auto& [cookie, reply] : pendingMtus_) deliverMtu(std::move(reply), kBusGone, 0);
    pendingMtus_.clear();
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

  static int onMtu(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto& worker = self(userdata);
    std::uint64_t cookie = 0;
    if (sd_bus_message_get_reply_cookie(message, &cookie) < 0) return 0;
    auto found = worker.pendingMtus_.find(cookie);
    if (found == worker.pendingMtus_.end()) return 0;
    auto reply = std::move(found->second);
    worker.pendingMtus_.erase(found);
    if (const sd_bus_error* error = sd_bus_message_get_error(message)) {
      worker.deliverMtu(std::move(reply), replyError(*error), 0);
      return 0;
    }
    int fd = -1;
    std::uint16_t mtu = 0;
    // The descriptor belongs to the message and is closed with it: BlueZ sees the socket's end
    // and stops refusing WriteValue ("Write acquired").
    const int r = sd_bus_message_read(message, "hq", &fd, &mtu);
    worker.deliverMtu(std::move(reply), r < 0 ? std::optional(localFailure(r)) : std::nullopt,
                      mtu);
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
    if (carriesValue(interface, changed)) {
      const std::string where(path);
      worker.reportLostValues(&where);
      if (worker.shared_->pendingValues.load() >= kMaximumPendingValues) {
        ++worker.lostValues_[where];
        changed.erase("Value");
        if (changed.empty() && invalidated.empty()) return 0;
      }
    }
    const bool value = carriesValue(interface, changed);
    worker.deliver(
        [path = std::string(path), interface = std::string(interface),
         changed = std::move(changed),
         invalidated = std::move(invalidated)](BluezBusListener& listener) mutable {
          listener.busPropertiesChanged(path, interface, std::move(changed), invalidated);
        },
        value);
    return 0;
  }

  static int onNameOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
    auto& worker = self(userdata);
    const char* name = nullptr;
    const char* oldOwner = nullptr;
    const char* newOwner = nullptr;
    if (sd_bus_message_read(message, "sss", &name, &oldOwner, &newOwner) < 0) return 0;
    worker.owner_ = newOwner;
    worker.lostValues_.clear();  // their characteristics went with the old owner
    if (worker.owner_.empty()) {
      worker.deliver([](BluezBusListener& listener) { listener.busServiceGone(); });
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
  std::map<std::uint64_t, MtuReply> pendingMtus_;
  std::vector<std::shared_ptr<std::promise<void>>> finishing_;
  std::map<std::string, std::size_t> lostValues_;  // characteristic path → values dropped
  std::string owner_;  // BlueZ's unique name on the bus; signals from anyone else are ignored
  sd_bus* bus_ = nullptr;  // opened by the constructor, handed to the bus thread
  std::thread thread_;
};

BluezBus::BluezBus(RunLoop& mainLoop, BluezBusListener& listener)
    : worker_(std::make_unique<Worker>(mainLoop, listener)) {}

BluezBus::~BluezBus() = default;

void BluezBus::call(BusCall call, BusReply reply) { worker_->call(std::move(call), std::move(reply)); }

void BluezBus::acquireWriteMtu(std::string path, MtuReply reply) {
  worker_->acquireWriteMtu(std::move(path), std::move(reply));
}

void BluezBus::finishCalls(Duration limit) { worker_->finishCalls(limit); }

}  // namespace orvix::platform::linux_bluetooth
