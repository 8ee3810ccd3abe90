#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "common/json_wire.h"
#include "common/time/time_types.h"

namespace orvix::ble_host {

// Where the host hands its finished event lines (each ending in LF). The host runs on the main
// thread and must never block on its reader, so an implementation only queues.
class EventQueue {
 public:
  virtual ~EventQueue() = default;
  virtual void enqueue(std::string line) = 0;
  // Stops taking lines and waits up to `timeout` for the queued ones to be written.
  // True when everything was written in time.
  virtual bool closeAndFlush(Duration timeout) = 0;
};

// How a part of the host writes one event: its name and its own fields (the host adds the
// envelope). False when the event could not be written as JSON and was dropped.
using EmitEvent = std::function<bool(std::string_view event, Json fields)>;

}  // namespace orvix::ble_host
