// What only the X11 binding does, on the fixture desktop of tests/support/x11/private_desktop.py.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>

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

}  // namespace
}  // namespace orvix::platform::conformance
