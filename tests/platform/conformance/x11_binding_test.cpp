// What only the X11 binding does, on the fixture desktop of tests/support/x11/private_desktop.py.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "common/time/real_time_source.h"
#include "platform/linux/desktop/linux_desktop.h"
#include "tests/platform/conformance/desktop_world.h"

namespace orvix::platform::conformance {
namespace {

namespace fs = std::filesystem;

constexpr const char* kFixtureIdentifier = "org.orvix.Fixture";

// A desktop entry in the fixture desktop's own data directory, removed again at the end.
class FixtureEntry {
 public:
  FixtureEntry() {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome == nullptr) return;
    fs::create_directories(fs::path(dataHome) / "applications");
    path_ = fs::path(dataHome) / "applications" / (std::string(kFixtureIdentifier) + ".desktop");
    std::ofstream(path_) << "[Desktop Entry]\nType=Application\nName=Orvix Fixture\n"
                         << "Exec=/usr/bin/python3 " ORVIX_FIXTURE_APP " --application-id "
                         << kFixtureIdentifier << "\n";
  }
  ~FixtureEntry() {
    if (!path_.empty()) fs::remove(path_);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Stops a process this test had launched (not a child of ours: GIO lets init reap it).
class LaunchedProcess {
 public:
  explicit LaunchedProcess(ProcessId pid) : pid_(pid) {}
  ~LaunchedProcess() {
    if (pid_ <= 0 || ::kill(pid_, SIGTERM) != 0) return;
    const fs::path proc = "/proc/" + std::to_string(pid_);
    for (int step = 0; step < 250 && fs::exists(proc); ++step) ::usleep(20'000);
  }

 private:
  ProcessId pid_;
};

std::optional<RunningApplication> withPid(const std::vector<RunningApplication>& running, ProcessId pid) {
  const auto found = std::find_if(running.begin(), running.end(),
                                  [pid](const RunningApplication& application) { return application.pid == pid; });
  if (found == running.end()) return std::nullopt;
  return *found;
}

TEST(X11Binding, DesktopEntriesStandInForBundles) {
  auto world = makeX11World();
  ASSERT_TRUE(world);
  const FixtureEntry entry;
  ASSERT_FALSE(entry.path().empty()) << "no XDG_DATA_HOME on the fixture desktop";
  Workspace& workspace = world->desktop().workspace;

  // GIO notices the new entry through its directory monitor, a moment after the write.
  std::optional<std::string> location;
  ASSERT_TRUE(world->waitFor([&] {
    location = workspace.applicationLocation(kFixtureIdentifier);
    return location.has_value();
  }));
  EXPECT_EQ(*location, entry.path().string());
  EXPECT_FALSE(workspace.applicationLocation("org.orvix.NotInstalled"));

  std::optional<std::optional<RunningApplication>> opened;
  const auto open = [&](bool newInstance) {
    opened.reset();
    OpenConfiguration configuration;
    configuration.createsNewApplicationInstance = newInstance;
    workspace.openApplication(*location, configuration, [&](auto application) { opened = application; });
    EXPECT_FALSE(opened) << "an open completes later, on the main loop";
    return world->waitFor([&] { return opened.has_value(); }) && opened->has_value();
  };
  ASSERT_TRUE(open(true));
  const RunningApplication launched = **opened;
  const LaunchedProcess stop(launched.pid);
  EXPECT_NE(launched.pid, world->applicationPid());
  EXPECT_EQ(launched.bundleIdentifier, kFixtureIdentifier);
  EXPECT_EQ(launched.localizedName, "Orvix Fixture");
  // Our standard output is the host's wire: the application must not be able to write to it.
  for (const char* stream : {"0", "1", "2"}) {
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(launched.pid) + "/fd/" + stream).string(),
              "/dev/null");
  }
  // Toolkits that keep accessibility off by default are told at start that it is wanted.
  std::ifstream environ("/proc/" + std::to_string(launched.pid) + "/environ");
  const std::string environment((std::istreambuf_iterator<char>(environ)), std::istreambuf_iterator<char>());
  EXPECT_NE(environment.find(std::string("ACCESSIBILITY_ENABLED=1") + '\0'), std::string::npos);
  EXPECT_NE(environment.find(std::string("QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1") + '\0'), std::string::npos);

  const auto listed = withPid(workspace.runningApplications(), launched.pid);
  ASSERT_TRUE(listed);
  EXPECT_EQ(listed->bundleIdentifier, kFixtureIdentifier);
  // A binding that did not launch it knows it by its window's WM_CLASS; the fixture started
  // without an application id matches no entry.
  // (GIO reads the entries of a fresh binding when its file monitors settle.)
  RealTimeSource time;
  linux_desktop::LinuxDesktop fresh(time);
  std::vector<RunningApplication> running;
  EXPECT_TRUE(world->waitFor([&] {
    running = fresh.desktop().workspace.runningApplications();
    const auto recognised = withPid(running, launched.pid);
    return recognised && recognised->bundleIdentifier == kFixtureIdentifier;
  }));
  const auto unmapped = withPid(running, world->applicationPid());
  ASSERT_TRUE(unmapped);
  EXPECT_FALSE(unmapped->bundleIdentifier);

  ASSERT_TRUE(open(false));
  EXPECT_EQ((*opened)->pid, launched.pid);
}

// Holds the fixture application still, as a busy application is, until released (at the latest
// when the scope ends).
class StalledApplication {
 public:
  explicit StalledApplication(ProcessId pid) : pid_(pid) { ::kill(pid_, SIGSTOP); }
  ~StalledApplication() {
    if (releaser_.joinable()) releaser_.join();
    ::kill(pid_, SIGCONT);
  }
  void releaseAfter(std::chrono::milliseconds delay) {
    releaser_ = std::thread([this, delay] {
      std::this_thread::sleep_for(delay);
      ::kill(pid_, SIGCONT);
    });
  }

 private:
  ProcessId pid_;
  std::thread releaser_;
};

TEST(X11Binding, RaiseActivatesTheElementsOwnWindow) {
  auto world = makeX11World();
  ASSERT_TRUE(world);
  Accessibility& ax = world->desktop().accessibility;
  const ProcessId pid = ::fork();
  if (pid == 0) {
    // argv[0] with its path: Python finds its libraries from it.
    ::execl("/usr/bin/python3", "/usr/bin/python3", ORVIX_FIXTURE_APP, "--second-window", nullptr);
    ::_exit(127);
  }
  ASSERT_GT(pid, 0);
  struct Child {
    ProcessId pid;
    ~Child() {
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
    }
  } const child{pid};
  const auto windowTitled = [&](std::string_view title) -> std::optional<AXElement> {
    const auto windows = ax.copyAttributeValue(ax.applicationElement(pid), "AXWindows");
    if (windows.error != AXError::success) return std::nullopt;
    for (const AXElement& window : std::get<std::vector<AXElement>>(windows.value)) {
      const auto name = ax.copyAttributeValue(window, "AXTitle");
      if (name.error == AXError::success && std::get<std::string>(name.value) == title) return window;
    }
    return std::nullopt;
  };
  const auto focusedTitle = [&]() -> std::string {
    const auto window = ax.copyAttributeValue(ax.applicationElement(pid), "AXFocusedWindow");
    if (window.error != AXError::success) return {};
    const auto name = ax.copyAttributeValue(std::get<AXElement>(window.value), "AXTitle");
    return name.error == AXError::success ? std::get<std::string>(name.value) : std::string();
  };
  std::optional<AXElement> first;
  const auto started = [&] {
    first = windowTitled("Orvix fixture");
    return first && focusedTitle() == "Orvix fixture (second)";
  };
  // A new GTK process takes a few seconds to reach the accessibility bus on a busy machine.
  ASSERT_TRUE(world->waitFor(started) || world->waitFor(started) || world->waitFor(started))
      << (first ? "the second window is not in front: " : "no first window; in front: ")
      << focusedTitle();
  // The first window lies under the second, the application's topmost.
  EXPECT_EQ(ax.performAction(*first, "AXRaise"), AXError::success);
  EXPECT_TRUE(world->waitFor([&] { return focusedTitle() == "Orvix fixture"; })) << focusedTitle();
}

TEST(X11Binding, ManualAccessibilityIsTheDesktopWideSwitch) {
  auto world = makeX11World();
  ASSERT_TRUE(world);
  Accessibility& ax = world->desktop().accessibility;
  // An application not yet on the accessibility bus (it registers once the switch is on).
  const AXElement notYetThere = ax.applicationElement(0x7ffffff0);
  EXPECT_TRUE(ax.isAttributeSettable(notYetThere, "AXManualAccessibility").settable);
  ASSERT_EQ(ax.setAttributeValue(notYetThere, "AXManualAccessibility", true), AXError::success);
  const auto read = ax.copyAttributeValue(ax.applicationElement(world->applicationPid()), "AXManualAccessibility");
  ASSERT_EQ(read.error, AXError::success);
  EXPECT_EQ(std::get<bool>(read.value), true);
  // What the toolkits themselves read.
  std::string status;
  if (FILE* gdbus = ::popen("gdbus call --session -d org.a11y.Bus -o /org/a11y/bus -m "
                            "org.freedesktop.DBus.Properties.Get org.a11y.Status IsEnabled", "r")) {
    char line[256] = {};
    if (std::fgets(line, sizeof(line), gdbus) != nullptr) status = line;
    ::pclose(gdbus);
  }
  EXPECT_NE(status.find("true"), std::string::npos) << status;
}

TEST(X11Binding, MessagingTimeoutHoldsForTheElementItWasSetOn) {
  auto world = makeX11World();
  ASSERT_TRUE(world);
  Accessibility& ax = world->desktop().accessibility;
  const AXElement application = ax.applicationElement(world->applicationPid());
  const auto focused = ax.copyAttributeValue(application, "AXFocusedUIElement");
  ASSERT_EQ(focused.error, AXError::success);
  const AXElement entry = std::get<AXElement>(focused.value);
  ASSERT_EQ(ax.setMessagingTimeout(application, 0.02f), AXError::success);

  {
    // The entry has no timeout of its own: a busy application still gets the default.
    StalledApplication stalled(world->applicationPid());
    stalled.releaseAfter(std::chrono::milliseconds(250));
    EXPECT_EQ(ax.copyAttributeValue(entry, "AXValue").error, AXError::success);
  }
  {
    StalledApplication stalled(world->applicationPid());
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(ax.copyAttributeValue(application, "AXFocusedUIElement").error, AXError::cannotComplete);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(200));
  }
  EXPECT_EQ(ax.setMessagingTimeout(application, 0), AXError::success);
}

}  // namespace
}  // namespace orvix::platform::conformance
