#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/time/time_types.h"

namespace orvix::detail {

class VirtualScheduler;
struct Participant;

// Participants that wait on the same thing (a loop's work, a semaphore, a thread's end).
class WaitList {
 private:
  friend class VirtualScheduler;
  std::deque<Participant*> waiters_;
};

enum class WakeReason { kNotified, kDeadline, kIdle };

// One simulated thread, or the test's own thread. Each is backed by a real std::thread, but
// only the one holding the baton runs; the others sleep on their condition variable.
struct Participant {
  enum class State { kReady, kRunning, kBlocked, kFinished };

  std::string name;
  VirtualScheduler* scheduler = nullptr;
  State state = State::kReady;
  std::condition_variable baton;

  // While blocked: what it waits on, when it wakes at the latest, and what it is doing (for
  // the deadlock report). `idleDeadline` wakes it only once nothing else can happen before.
  WaitList* waitList = nullptr;
  std::optional<Duration> deadline;
  std::optional<Duration> idleDeadline;
  std::uint64_t blockSequence = 0;
  std::string activity;
  WakeReason wakeReason = WakeReason::kNotified;

  WaitList joiners;
  std::thread thread;  // empty for the test's own thread
};

// The single deterministic scheduler behind a VirtualTimeSource.
//
// Exactly one participant runs at a time. When it blocks, the baton goes to the participant
// that became ready first; when nobody is ready, virtual time jumps to the earliest deadline
// and everybody due then becomes ready in (deadline, blocking order). Since every choice
// depends only on that order, a scenario runs the same way every time. When every participant
// waits and nothing is scheduled, the process stops with a report naming the waiters.
//
// All state, including that of the virtual loops and semaphores, is guarded by one mutex.
class VirtualScheduler {
 public:
  explicit VirtualScheduler(Duration startUptime);
  ~VirtualScheduler();

  VirtualScheduler(const VirtualScheduler&) = delete;
  VirtualScheduler& operator=(const VirtualScheduler&) = delete;

  std::unique_lock<std::mutex> lock() { return std::unique_lock(mutex_); }
  Duration now() const { return now_.load(std::memory_order_acquire); }

  // The participant of the calling thread; stops the process for a thread it does not know.
  Participant& self();
  Participant* selfOrNull() const;
  Participant& controller() { return *controller_; }

  // Blocks `self` (the baton holder) until notified through `list`, until `deadline`, or, for
  // the controller, until `idleDeadline` has come and nothing else can run. Callers re-check
  // their condition after it returns.
  WakeReason wait(std::unique_lock<std::mutex>& lock, Participant& self, WaitList* list,
                  std::optional<Duration> deadline, std::optional<Duration> idleDeadline,
                  std::string activity);
  void notifyOne(WaitList& list);
  void notifyAll(WaitList& list);

  // Starts a simulated thread; it first runs when the caller next blocks.
  std::shared_ptr<Participant> spawn(std::string name, std::function<void()> body);
  // Waits (in virtual time) for the thread to finish, then reaps its real thread.
  void join(Participant& thread);

 private:
  void makeReady(Participant& participant, WakeReason reason);
  void passBaton();  // the caller gives up the baton; picks the next participant
  void giveBatonTo(Participant& participant);
  [[noreturn]] void reportDeadlock();
  void finish(Participant& participant);

  std::mutex mutex_;
  std::atomic<Duration> now_;
  std::uint64_t nextBlockSequence_ = 0;
  std::shared_ptr<Participant> controller_;
  std::vector<std::shared_ptr<Participant>> live_;  // every unfinished participant
  std::deque<Participant*> ready_;
  Participant* running_ = nullptr;
};

}  // namespace orvix::detail
