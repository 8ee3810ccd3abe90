#include "platform/linux/desktop/x11_workspace.h"

#include <X11/Xatom.h>

#include <fstream>

namespace orvix::platform::linux_desktop {

namespace {

constexpr long kSourceIsPager = 2;  // asks the window manager to obey without focus stealing checks

std::optional<std::string> processName(ProcessId pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  // The kernel keeps at most 15 bytes of the name, so one line is all there is.
  if (!std::getline(comm, name) || name.empty()) return std::nullopt;
  return name;
}

}  // namespace

std::vector<RunningApplication> X11Workspace::applicationsLocked() {
  const auto active = display_->activeWindow();
  const auto activePid = active ? display_->windowPid(*active) : std::nullopt;
  std::vector<RunningApplication> applications;
  for (const Window window : display_->clientsBottomToTop()) {
    const auto pid = display_->windowPid(window);
    if (!pid) continue;
    const bool viewable = display_->viewable(window);
    RunningApplication* known = nullptr;
    for (auto& application : applications) {
      if (application.pid == *pid) known = &application;
    }
    if (known == nullptr) {
      applications.push_back(RunningApplication{*pid, std::nullopt, processName(*pid), !viewable,
                                                false, activePid == *pid});
    } else if (viewable) {
      known->hidden = false;
    }
  }
  return applications;
}

std::optional<RunningApplication> X11Workspace::frontmostApplication() {
  std::lock_guard guard(display_->lock());
  for (auto& application : applicationsLocked()) {
    if (application.active) return application;
  }
  return std::nullopt;
}

std::vector<RunningApplication> X11Workspace::runningApplications() {
  std::lock_guard guard(display_->lock());
  return applicationsLocked();
}

std::optional<RunningApplication> X11Workspace::runningApplication(ProcessId pid) {
  std::lock_guard guard(display_->lock());
  for (auto& application : applicationsLocked()) {
    if (application.pid == pid) return application;
  }
  return std::nullopt;
}

bool X11Workspace::activate(ProcessId pid, ActivationOptions) {
  std::lock_guard guard(display_->lock());
  const auto clients = display_->clientsBottomToTop();
  for (auto it = clients.rbegin(); it != clients.rend(); ++it) {
    if (display_->windowPid(*it) != pid) continue;
    XEvent message{};
    message.xclient.type = ClientMessage;
    message.xclient.window = *it;
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

}  // namespace orvix::platform::linux_desktop
