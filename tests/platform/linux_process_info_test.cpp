// The real process facts of this machine, against real processes.

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "common/time/real_time_source.h"
#include "platform/linux/desktop/linux_desktop.h"

namespace orvix::platform::linux_desktop {
namespace {

// A child process that waits until its pipe closes; it can rename itself first.
class Child {
 public:
  explicit Child(const char* name = nullptr) {
    int ready[2];
    int hold[2];
    if (::pipe(ready) != 0 || ::pipe(hold) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      ::close(hold[1]);  // or the read below never sees the end of the pipe
      if (name != nullptr) ::prctl(PR_SET_NAME, name, 0, 0, 0);
      char byte = 1;
      (void)!::write(ready[1], &byte, 1);
      (void)!::read(hold[0], &byte, 1);
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(hold[0]);
    hold_ = hold[1];
    char byte = 0;
    (void)!::read(ready[0], &byte, 1);
    ::close(ready[0]);
  }
  ~Child() { reap(); }

  pid_t pid() const { return pid_; }
  void reap() {
    if (pid_ <= 0) return;
    ::close(hold_);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int hold_ = -1;
};

TEST(LinuxProcessInfoTest, ThisProcessAndItsParent) {
  LinuxProcessInfo info;
  EXPECT_EQ(info.currentProcessId(), ::getpid());
  EXPECT_EQ(info.parentProcessId(::getpid()), ::getppid());
  EXPECT_TRUE(info.isAlive(::getpid()));
  EXPECT_EQ(info.parentProcessId(1), 0);
}

TEST(LinuxProcessInfoTest, AChildWhileItRunsAndAfterItEnded) {
  LinuxProcessInfo info;
  Child child;
  ASSERT_GT(child.pid(), 0);
  EXPECT_EQ(info.parentProcessId(child.pid()), ::getpid());
  EXPECT_TRUE(info.isAlive(child.pid()));
  const pid_t pid = child.pid();
  child.reap();
  EXPECT_FALSE(info.isAlive(pid));
  EXPECT_FALSE(info.parentProcessId(pid));
}

TEST(LinuxProcessInfoTest, ACommandNameWithParenthesesAndSpaces) {
  LinuxProcessInfo info;
  Child child("x) (1 2 3) S 7");
  ASSERT_GT(child.pid(), 0);
  EXPECT_EQ(info.parentProcessId(child.pid()), ::getpid());
}

TEST(LinuxProcessInfoTest, PidsThatNameNoProcess) {
  LinuxProcessInfo info;
  for (const ProcessId pid : {0, -1, 0x7FFFFFF0}) {
    EXPECT_FALSE(info.isAlive(pid)) << pid;
    EXPECT_FALSE(info.parentProcessId(pid)) << pid;
  }
}

TEST(LinuxProcessInfoTest, StatRecordsAreReadAfterTheLastParenthesis) {
  EXPECT_EQ(parentFromStatRecord("42 (a) (b) S 7 42 42 0"), 7);
  EXPECT_EQ(parentFromStatRecord("1 (init) S 0 1 1"), 0);
  EXPECT_EQ(parentFromStatRecord("42 (x) R 9\n"), 9);
  EXPECT_FALSE(parentFromStatRecord("42 (cut"));
  EXPECT_FALSE(parentFromStatRecord("42 (a) S"));
  EXPECT_FALSE(parentFromStatRecord("42 (a) S -5 1"));
  EXPECT_FALSE(parentFromStatRecord("42 (a) S 7x 1"));
  EXPECT_FALSE(parentFromStatRecord("42 (a) S 99999999999 1"));
  EXPECT_FALSE(parentFromStatRecord(""));
}

TEST(LinuxDesktopTest, EverythingButProcessesAnswersUnavailable) {
  RealTimeSource time;
  LinuxDesktop machine(time);
  Desktop desktop = machine.desktop();
  Accessibility& ax = desktop.accessibility;
  EXPECT_FALSE(ax.isProcessTrusted());
  EXPECT_NE(ax.copyAttributeValue(ax.systemWideElement(), "AXFocusedApplication").error,
            AXError::success);
  EXPECT_NE(ax.processId(ax.applicationElement(::getpid())).error, AXError::success);
  EXPECT_TRUE(ax.systemWideElement() == ax.systemWideElement());
  EXPECT_EQ(desktop.inputEvents.createKeyboardEvent(nullptr, 9, true), nullptr);
  EXPECT_EQ(desktop.inputEvents.createEvent(nullptr), nullptr);
  EXPECT_FALSE(desktop.pasteboard.setString("text"));
  EXPECT_FALSE(desktop.pasteboard.string());
  EXPECT_FALSE(desktop.workspace.frontmostApplication());
  EXPECT_TRUE(desktop.workspace.runningApplications().empty());
}

}  // namespace
}  // namespace orvix::platform::linux_desktop
