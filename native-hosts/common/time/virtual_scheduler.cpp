#include "common/time/virtual_scheduler.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include "common/time/fail_fast.h"

namespace orvix::detail {

namespace {

thread_local Participant* currentParticipant = nullptr;

std::string describeUptime(Duration uptime) {
  char text[48];
  static_cast<void>(
      std::snprintf(text, sizeof text, "%.9f s", std::chrono::duration<double>(uptime).count()));
  return text;
}

}  // namespace

VirtualScheduler::VirtualScheduler(Duration startUptime) : now_(startUptime) {
  requireOrFail(currentParticipant == nullptr,
                "a thread can drive only one virtual time source at a time");
  controller_ = std::make_shared<Participant>();
  controller_->name = "test";
  controller_->scheduler = this;
  controller_->state = Participant::State::kRunning;
  live_.push_back(controller_);
  running_ = controller_.get();
  currentParticipant = controller_.get();
}

VirtualScheduler::~VirtualScheduler() {
  std::lock_guard lock(mutex_);
  if (live_.size() > 1) {
    std::string names;
    for (const auto& participant : live_) {
      if (participant != controller_) names += " '" + participant->name + "'";
    }
    failFast("virtual time source destroyed while these threads still run:" + names);
  }
  if (currentParticipant == controller_.get()) currentParticipant = nullptr;
}

Participant& VirtualScheduler::self() {
  Participant* participant = selfOrNull();
  requireOrFail(participant != nullptr, "virtual time used from a thread that it did not start");
  return *participant;
}

Participant* VirtualScheduler::selfOrNull() const {
  Participant* participant = currentParticipant;
  return participant != nullptr && participant->scheduler == this ? participant : nullptr;
}

WakeReason VirtualScheduler::wait(std::unique_lock<std::mutex>& lock, Participant& self,
                                  WaitList* list, std::optional<Duration> deadline,
                                  std::optional<Duration> idleDeadline, std::string activity) {
  requireOrFail(running_ == &self, "virtual time: a thread without the baton tried to wait");
  self.state = Participant::State::kBlocked;
  self.waitList = list;
  if (list != nullptr) list->waiters_.push_back(&self);
  self.deadline = deadline;
  self.idleDeadline = idleDeadline;
  self.blockSequence = nextBlockSequence_++;
  self.activity = std::move(activity);
  passBaton();
  self.baton.wait(lock, [&] { return running_ == &self; });
  return self.wakeReason;
}

void VirtualScheduler::notifyOne(WaitList& list) {
  if (!list.waiters_.empty()) makeReady(*list.waiters_.front(), WakeReason::kNotified);
}

void VirtualScheduler::notifyAll(WaitList& list) {
  while (!list.waiters_.empty()) makeReady(*list.waiters_.front(), WakeReason::kNotified);
}

std::shared_ptr<Participant> VirtualScheduler::spawn(std::string name, std::function<void()> body) {
  std::lock_guard lock(mutex_);
  auto participant = std::make_shared<Participant>();
  participant->name = std::move(name);
  participant->scheduler = this;
  participant->state = Participant::State::kReady;
  live_.push_back(participant);
  ready_.push_back(participant.get());
  // The new thread first needs the mutex held here, so it sees the fully built participant.
  participant->thread = std::thread([this, self = participant.get(), body = std::move(body)] {
    {
      std::unique_lock threadLock(mutex_);
      currentParticipant = self;
      self->baton.wait(threadLock, [&] { return running_ == self; });
    }
    try {
      body();
    } catch (const std::exception& error) {
      failFast("simulated thread '" + self->name + "' ended with an exception: " + error.what());
    } catch (...) {
      failFast("simulated thread '" + self->name + "' ended with an exception");
    }
    std::unique_lock threadLock(mutex_);
    finish(*self);
    currentParticipant = nullptr;
  });
  return participant;
}

void VirtualScheduler::join(Participant& thread) {
  std::unique_lock lock(mutex_);
  Participant& me = self();
  requireOrFail(&me != &thread, "thread '" + thread.name + "' tried to join itself");
  while (thread.state != Participant::State::kFinished) {
    wait(lock, me, &thread.joiners, std::nullopt, std::nullopt,
         "joining thread '" + thread.name + "'");
  }
  // A finished thread never takes the mutex again, so reaping it under the mutex is safe and
  // keeps two joiners from racing on the std::thread.
  if (thread.thread.joinable()) thread.thread.join();
}

void VirtualScheduler::makeReady(Participant& participant, WakeReason reason) {
  if (participant.waitList != nullptr) {
    auto& waiters = participant.waitList->waiters_;
    waiters.erase(std::find(waiters.begin(), waiters.end(), &participant));
    participant.waitList = nullptr;
  }
  participant.deadline.reset();
  participant.idleDeadline.reset();
  participant.state = Participant::State::kReady;
  participant.wakeReason = reason;
  ready_.push_back(&participant);
}

void VirtualScheduler::passBaton() {
  running_ = nullptr;
  for (;;) {
    if (!ready_.empty()) {
      Participant* next = ready_.front();
      ready_.pop_front();
      giveBatonTo(*next);
      return;
    }
    // Nobody can run at this instant: move time to the next wake-up.
    std::optional<Duration> earliest;
    for (const auto& participant : live_) {
      if (participant->state == Participant::State::kBlocked && participant->deadline) {
        earliest = earliest ? std::min(*earliest, *participant->deadline) : *participant->deadline;
      }
    }
    std::optional<Duration> idle;
    if (controller_->state == Participant::State::kBlocked) idle = controller_->idleDeadline;

    if (earliest && (!idle || *earliest <= *idle)) {
      if (*earliest > now()) now_.store(*earliest, std::memory_order_release);
      std::vector<Participant*> due;
      for (const auto& participant : live_) {
        if (participant->state == Participant::State::kBlocked && participant->deadline &&
            *participant->deadline <= now()) {
          due.push_back(participant.get());
        }
      }
      std::sort(due.begin(), due.end(), [](const Participant* a, const Participant* b) {
        return *a->deadline != *b->deadline ? *a->deadline < *b->deadline
                                            : a->blockSequence < b->blockSequence;
      });
      for (Participant* participant : due) makeReady(*participant, WakeReason::kDeadline);
      continue;
    }
    if (idle) {
      if (*idle > now()) now_.store(*idle, std::memory_order_release);
      makeReady(*controller_, WakeReason::kIdle);
      continue;
    }
    reportDeadlock();
  }
}

void VirtualScheduler::giveBatonTo(Participant& participant) {
  participant.state = Participant::State::kRunning;
  running_ = &participant;
  participant.baton.notify_one();
}

void VirtualScheduler::reportDeadlock() {
  std::string report = "virtual time deadlock at uptime " + describeUptime(now()) +
                       ": every thread waits and nothing is scheduled to wake one:";
  for (const auto& participant : live_) {
    report += "\n  '" + participant->name + "' " + participant->activity;
  }
  failFast(report);
}

void VirtualScheduler::finish(Participant& participant) {
  participant.state = Participant::State::kFinished;
  live_.erase(std::find_if(live_.begin(), live_.end(),
                           [&](const auto& live) { return live.get() == &participant; }));
  notifyAll(participant.joiners);
  passBaton();
}

}  // namespace orvix::detail
