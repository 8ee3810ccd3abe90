#include "platform/linux/desktop/x11_workspace.h"

#include <X11/Xatom.h>

#include <algorithm>
#include <fstream>

namespace orvix::platform::linux_desktop {

namespace {

constexpr long kSourceIsPager = 2;  // asks the window manager to obey without focus stealing checks
// A launched application usually shows its window within a second or two; a cold start of a
// large one on a busy machine takes longer.
constexpr auto kOpenTimeout = std::chrono::seconds(10);
constexpr auto kOpenCheckInterval = std::chrono::milliseconds(25);
// Launches remembered for their identifier (the dead are forgotten first), and opens waited
// for at once: more than any caller asks for.
constexpr std::size_t kMaximumLaunches = 64;
constexpr std::size_t kMaximumPendingOpens = 16;

std::optional<std::string> processName(ProcessId pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  // The kernel keeps at most 15 bytes of the name, so one line is all there is.
  if (!std::getline(comm, name) || name.empty()) return std::nullopt;
  return name;
}

}  // namespace

struct X11Workspace::PendingOpen {
  DesktopEntry entry;
  std::optional<ProcessId> pid;  // absent when GIO did not start the process itself
  Duration deadline;
  OpenCompletion completion;
};

X11Workspace::~X11Workspace() {
  std::lock_guard guard(launchesLock_);
  for (auto& check : pendingChecks_) check.cancel();
}

std::optional<DesktopEntry> X11Workspace::entryOf(ProcessId pid, Window window) {
  {
    std::lock_guard guard(launchesLock_);
    if (const auto found = launched_.find(pid); found != launched_.end()) return found->second;
  }
  const auto names = display_->windowClass(window);
  if (!names) return std::nullopt;
  return entries_.forWindowClass(names->first, names->second);
}

std::vector<RunningApplication> X11Workspace::applicationsLocked(std::optional<ProcessId> only) {
  const auto activePid = display_->activePid();
  std::vector<RunningApplication> applications;
  for (const Window window : display_->clientsBottomToTop()) {
    const auto pid = display_->windowPid(window);
    if (!pid || (only && *pid != *only)) continue;
    const bool viewable = display_->viewable(window);
    RunningApplication* known = nullptr;
    for (auto& application : applications) {
      if (application.pid == *pid) known = &application;
    }
    if (known != nullptr) {
      if (viewable) known->hidden = false;
      continue;
    }
    RunningApplication application{*pid, std::nullopt, std::nullopt, !viewable, false,
                                   activePid == *pid};
    if (auto entry = entryOf(*pid, window)) {
      application.bundleIdentifier = std::move(entry->bundleIdentifier);
      application.localizedName = std::move(entry->name);
    } else {
      application.localizedName = processName(*pid);
    }
    applications.push_back(std::move(application));
  }
  return applications;
}

std::optional<RunningApplication> X11Workspace::frontmostApplication() {
  std::lock_guard guard(display_->lock());
  const auto active = display_->activePid();
  if (!active) return std::nullopt;
  auto applications = applicationsLocked(*active);
  // The active window may have changed hands between the two reads.
  if (applications.empty() || !applications.front().active) return std::nullopt;
  return std::move(applications.front());
}

std::vector<RunningApplication> X11Workspace::runningApplications() {
  std::lock_guard guard(display_->lock());
  return applicationsLocked();
}

std::optional<RunningApplication> X11Workspace::runningApplication(ProcessId pid) {
  std::lock_guard guard(display_->lock());
  auto applications = applicationsLocked(pid);
  if (applications.empty()) return std::nullopt;
  return std::move(applications.front());
}

bool X11Workspace::activate(ProcessId pid, ActivationOptions) { return activateWindow(pid, {}); }

bool X11Workspace::activateWindow(ProcessId pid, std::string_view title) {
  std::lock_guard guard(display_->lock());
  const auto clients = display_->clientsBottomToTop();
  std::optional<Window> chosen;
  for (auto it = clients.rbegin(); it != clients.rend(); ++it) {
    if (display_->windowPid(*it) != pid) continue;
    if (!chosen) chosen = *it;
    if (title.empty()) break;
    if (display_->windowTitle(*it) == title) {
      chosen = *it;
      break;
    }
  }
  if (chosen) {
    XEvent message{};
    message.xclient.type = ClientMessage;
    message.xclient.window = *chosen;
    message.xclient.message_type = display_->atom("_NET_ACTIVE_WINDOW");
    message.xclient.format = 32;
    message.xclient.data.l[0] = kSourceIsPager;
    message.xclient.data.l[1] = CurrentTime;
    XSendEvent(display_->get(), display_->root(), False,
               SubstructureRedirectMask | SubstructureNotifyMask, &message);
    XFlush(display_->get());
    return true;
  }
  return false;
}

std::optional<std::string> X11Workspace::applicationLocation(std::string_view bundleIdentifier) {
  auto entry = entries_.forBundleIdentifier(bundleIdentifier);
  if (!entry) return std::nullopt;
  return std::move(entry->location);
}

void X11Workspace::openApplication(const std::string& location,
                                   const OpenConfiguration& configuration,
                                   OpenCompletion completion) {
  if (!completion) completion = [](std::optional<RunningApplication>) {};
  const auto entry = entries_.atLocation(location);
  if (!entry) return completeLater(std::move(completion), std::nullopt);
  auto open = std::make_shared<PendingOpen>(
      PendingOpen{*entry, std::nullopt, time_.clock().uptime() + kOpenTimeout, std::move(completion)});
  if (!configuration.createsNewApplicationInstance) {
    const auto running = runningApplications();
    const auto same = std::find_if(running.begin(), running.end(), [&](const auto& application) {
      return application.bundleIdentifier == entry->bundleIdentifier;
    });
    if (same != running.end()) {
      if (configuration.activates) activate(same->pid, 0);
      return completeLater(std::move(open->completion), *same);
    }
    if ((open->pid = launchedWithoutWindow(entry->bundleIdentifier))) return waitForWindow(open);
  }
  const DesktopLaunch launch = entries_.launch(*entry);
  if (!launch.started) return completeLater(std::move(open->completion), std::nullopt);
  open->pid = launch.pid;
  if (launch.pid) remember(*launch.pid, *entry);
  waitForWindow(open);
}

std::optional<ProcessId> X11Workspace::launchedWithoutWindow(const std::string& bundleIdentifier) {
  std::lock_guard guard(launchesLock_);
  for (const auto& [pid, entry] : launched_) {
    if (entry.bundleIdentifier == bundleIdentifier && processes_.isAlive(pid)) return pid;
  }
  return std::nullopt;
}

void X11Workspace::remember(ProcessId pid, const DesktopEntry& entry) {
  std::lock_guard guard(launchesLock_);
  std::erase_if(launched_, [this](const auto& launch) { return !processes_.isAlive(launch.first); });
  if (launched_.size() >= kMaximumLaunches) launched_.erase(launched_.begin());
  launched_.insert_or_assign(pid, entry);
}

void X11Workspace::waitForWindow(std::shared_ptr<PendingOpen> open) {
  std::lock_guard guard(launchesLock_);
  std::erase_if(pendingChecks_, [](const TimerHandle& check) { return !check.isPending(); });
  if (pendingChecks_.size() >= kMaximumPendingOpens) {
    return completeLater(std::move(open->completion), std::nullopt);
  }
  pendingChecks_.push_back(
      time_.mainLoop().scheduleAfter(kOpenCheckInterval, [this, open] { check(open); }));
}

void X11Workspace::check(const std::shared_ptr<PendingOpen>& open) {
  const bool launchedRuns = open->pid && processes_.isAlive(*open->pid);
  const auto running = runningApplications();
  auto shown = std::find_if(running.begin(), running.end(), [&](const auto& application) {
    return application.pid == open->pid;
  });
  // The launched process may have handed over to another one, or never been ours to know.
  if (shown == running.end() && !launchedRuns) {
    shown = std::find_if(running.begin(), running.end(), [&](const auto& application) {
      return application.bundleIdentifier == open->entry.bundleIdentifier;
    });
  }
  if (shown != running.end()) return open->completion(*shown);
  if (time_.clock().uptime() < open->deadline) return waitForWindow(open);
  if (!launchedRuns) return open->completion(std::nullopt);
  open->completion(RunningApplication{*open->pid, open->entry.bundleIdentifier, open->entry.name,
                                      true, false, false});
}

void X11Workspace::completeLater(OpenCompletion completion,
                                 std::optional<RunningApplication> application) {
  time_.mainLoop().post([completion = std::move(completion), application = std::move(application)] {
    completion(application);
  });
}

}  // namespace orvix::platform::linux_desktop
