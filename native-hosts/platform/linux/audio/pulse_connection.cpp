#include "platform/linux/audio/pulse_connection.h"

#include <pulse/pulseaudio.h>

#include <cstring>
#include <string_view>

namespace orvix::platform::pulse {

namespace {

constexpr const char* kClientName = "OrvixAudioCaptureHost";

// A wait deadline on the loop's own clock: its event sets `expired` and wakes the waiter.
class Deadline {
 public:
  Deadline(PulseConnection& connection, std::chrono::microseconds after)
      : connection_(connection) {
    event_ = pa_context_rttime_new(connection.context(),
                                   pa_rtclock_now() + static_cast<pa_usec_t>(after.count()),
                                   &Deadline::fired, this);
  }
  ~Deadline() {
    if (event_ != nullptr) {
      pa_mainloop_api* api = pa_threaded_mainloop_get_api(connection_.loop());
      api->time_free(event_);
    }
  }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

  bool expired() const { return expired_ || event_ == nullptr; }

 private:
  static void fired(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
    auto* deadline = static_cast<Deadline*>(self);
    deadline->expired_ = true;
    deadline->connection_.wake();
  }

  PulseConnection& connection_;
  pa_time_event* event_ = nullptr;
  bool expired_ = false;
};

// The answer of one asynchronous query, filled on the loop thread.
template <typename Answer>
struct Pending {
  PulseConnection* connection = nullptr;
  bool done = false;
  std::optional<Answer> answer;

  void settle() {
    done = true;
    connection->wake();
  }
};

// Runs one query to its end (answered, failed or out of patience): `start` hands libpulse the
// pending answer and returns the operation.
template <typename Answer, typename Start>
std::optional<Answer> ask(PulseConnection& connection, Start start) {
  PulseConnection::Locked locked(connection);
  Pending<Answer> pending;
  pending.connection = &connection;
  pa_operation* operation = start(&pending);
  if (operation == nullptr) return std::nullopt;
  const bool answered = connection.waitLocked([&] { return pending.done; });
  // On a time-out the query stays on the loop; cancelling it keeps its callback from writing
  // into `pending` once this frame is gone.
  if (!answered) pa_operation_cancel(operation);
  pa_operation_unref(operation);
  return answered ? std::move(pending.answer) : std::nullopt;
}

std::string text(const char* value) { return value == nullptr ? std::string() : value; }

// With no output device left, PulseAudio and PipeWire's PulseAudio service both put a stand-in
// sink of this name in its place (module-always-sink), so that players never fail: it plays
// nowhere, and neither it nor its monitor is a device to record.
constexpr std::string_view kStandInSink = "auto_null";
constexpr std::string_view kStandInMonitor = "auto_null.monitor";

ServerDefaults defaultsOf(const pa_server_info& info) {
  ServerDefaults defaults{text(info.default_sink_name), text(info.default_source_name)};
  if (defaults.sink == kStandInSink) defaults.sink.clear();
  if (defaults.source == kStandInMonitor) defaults.source.clear();
  return defaults;
}

// What a server says of itself: its defaults, and its name ("pulseaudio", or "PulseAudio (on
// PipeWire 0.3.65)" for PipeWire's service).
struct ServerFacts {
  ServerDefaults defaults;
  std::string name;
};

void serverInfoArrived(pa_context*, const pa_server_info* info, void* userdata) {
  auto* pending = static_cast<Pending<ServerFacts>*>(userdata);
  if (info != nullptr) pending->answer = ServerFacts{defaultsOf(*info), text(info->server_name)};
  pending->settle();
}

std::optional<ServerFacts> askServerFacts(PulseConnection& connection) {
  return ask<ServerFacts>(connection, [&](void* pending) {
    return pa_context_get_server_info(connection.context(), serverInfoArrived, pending);
  });
}

// List queries call back once per item, then once more with `eol` set.
void sinkInfoArrived(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
  auto* pending = static_cast<Pending<SourceFacts>*>(userdata);
  if (eol != 0 || info == nullptr) return pending->settle();
  pending->answer = SourceFacts{text(info->monitor_source_name),
                                static_cast<double>(info->sample_spec.rate),
                                info->sample_spec.channels, true};
}

void sourceInfoArrived(pa_context*, const pa_source_info* info, int eol, void* userdata) {
  auto* pending = static_cast<Pending<SourceFacts>*>(userdata);
  if (eol != 0 || info == nullptr) return pending->settle();
  pending->answer = SourceFacts{text(info->name), static_cast<double>(info->sample_spec.rate),
                                info->sample_spec.channels,
                                info->monitor_of_sink != PA_INVALID_INDEX};
}

}  // namespace

PulseConnection::PulseConnection(ConnectionEvents events) : events_(std::move(events)) {}

std::unique_ptr<PulseConnection> PulseConnection::open(const ServerAddress& server,
                                                       ConnectionEvents events) {
  std::unique_ptr<PulseConnection> connection(new PulseConnection(std::move(events)));
  if (!connection->connect(server)) return nullptr;
  const auto facts = askServerFacts(*connection);
  connection->servedByPipeWire_ = facts && facts->name.find("PipeWire") != std::string::npos;
  return connection;
}

bool PulseConnection::connect(const ServerAddress& server) {
  loop_ = pa_threaded_mainloop_new();
  if (loop_ == nullptr) return false;
  pa_threaded_mainloop_set_name(loop_, "pulse-connection");
  context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), kClientName);
  if (context_ == nullptr) return false;
  pa_context_set_state_callback(
      context_, [](pa_context*, void* self) { static_cast<PulseConnection*>(self)->contextStateChanged(); },
      this);
  if (pa_threaded_mainloop_start(loop_) < 0) return false;

  Locked locked(*this);
  // Never start a server of our own: with none running there is nothing to record.
  if (pa_context_connect(context_, server ? server->c_str() : nullptr, PA_CONTEXT_NOAUTOSPAWN,
                         nullptr) < 0) {
    return false;
  }
  if (!waitLocked([this] { return ready_; })) return false;
  if (events_.defaultsChanged) {
    pa_context_set_subscribe_callback(
        context_,
        [](pa_context*, pa_subscription_event_type_t type, std::uint32_t, void* self) {
          if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SERVER) {
            static_cast<PulseConnection*>(self)->serverEvent();
          }
        },
        this);
    pa_operation* operation =
        pa_context_subscribe(context_, PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr);
    if (operation == nullptr) return false;
    pa_operation_unref(operation);
  }
  return true;
}

PulseConnection::~PulseConnection() {
  if (loop_ == nullptr) return;
  if (context_ != nullptr) {
    {
      Locked locked(*this);
      closing_ = true;
      pa_context_set_subscribe_callback(context_, nullptr, nullptr);
      pa_context_disconnect(context_);
    }
    pa_threaded_mainloop_stop(loop_);
    pa_context_unref(context_);
  } else {
    pa_threaded_mainloop_stop(loop_);
  }
  pa_threaded_mainloop_free(loop_);
}

PulseConnection::Locked::Locked(PulseConnection& connection) : connection_(connection) {
  pa_threaded_mainloop_lock(connection_.loop_);
}

PulseConnection::Locked::~Locked() { pa_threaded_mainloop_unlock(connection_.loop_); }

void PulseConnection::wake() { pa_threaded_mainloop_signal(loop_, 0); }

bool PulseConnection::usableLocked() const {
  const pa_context_state_t state = pa_context_get_state(context_);
  return state != PA_CONTEXT_FAILED && state != PA_CONTEXT_TERMINATED;
}

bool PulseConnection::waitLocked(const std::function<bool()>& done) {
  Deadline deadline(*this, kPatience);
  while (!done()) {
    if (!usableLocked() || deadline.expired()) return false;
    pa_threaded_mainloop_wait(loop_);
  }
  return true;
}

void PulseConnection::contextStateChanged() {
  const pa_context_state_t state = pa_context_get_state(context_);
  if (state == PA_CONTEXT_READY) ready_ = true;
  const bool gone = state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED;
  if (gone && ready_ && !closing_ && events_.serverGone) events_.serverGone();
  wake();
}

void PulseConnection::serverEvent() {
  // The event says only that something about the server changed; its defaults are asked for,
  // and the answer is handed on as it comes (the query outlives no connection: it is dropped
  // with the context).
  pa_operation* operation = pa_context_get_server_info(
      context_,
      [](pa_context*, const pa_server_info* info, void* self) {
        auto* connection = static_cast<PulseConnection*>(self);
        if (info == nullptr || connection->closing_) return;
        connection->events_.defaultsChanged(defaultsOf(*info));
      },
      this);
  if (operation != nullptr) pa_operation_unref(operation);
}

std::optional<ServerDefaults> PulseConnection::serverDefaults() {
  const auto facts = askServerFacts(*this);
  if (!facts) return std::nullopt;
  return facts->defaults;
}

std::optional<SourceFacts> PulseConnection::sinkMonitor(const std::string& sink) {
  return ask<SourceFacts>(*this, [&](void* pending) {
    return pa_context_get_sink_info_by_name(context_, sink.c_str(), sinkInfoArrived, pending);
  });
}

std::optional<SourceFacts> PulseConnection::source(const std::string& name) {
  return ask<SourceFacts>(*this, [&](void* pending) {
    return pa_context_get_source_info_by_name(context_, name.c_str(), sourceInfoArrived, pending);
  });
}

}  // namespace orvix::platform::pulse

// libpulse is not built for ThreadSanitizer: its lock-free memory pools and packet queues,
// shared between a client's threads through atomics the sanitizer cannot see, look like races
// inside the library. Only reports whose frames lie in libpulse itself are left out; races in
// this binding are still reported. The sanitizer reads this hook when it is linked in.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libpulsecommon\n";
}
