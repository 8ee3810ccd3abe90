#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/process_id.h"

namespace orvix::platform::linux_desktop {

// An installed application as a freedesktop desktop entry describes it.
struct DesktopEntry {
  // The entry's X-Orvix-Bundle-Identifier, else its desktop-file ID without ".desktop".
  std::string bundleIdentifier;
  std::string location;  // the entry's file
  std::string name;      // its Name, in the user's language
};

// What a launch started: nothing, or a process (whose id GIO may not know, for an application
// that D-Bus activation starts).
struct DesktopLaunch {
  bool started = false;
  std::optional<ProcessId> pid;
};

// The desktop entries GIO finds in the XDG data directories (XDG_DATA_HOME, XDG_DATA_DIRS),
// with GIO's rules: entries that are hidden or whose TryExec fails are not installed, and a
// user's entry shadows a system one with the same ID. The list is read once and read again
// after GIO reports a change in those directories, so a lookup costs no file access.
// Safe from any thread.
class DesktopEntries {
 public:
  DesktopEntries();
  ~DesktopEntries();
  DesktopEntries(const DesktopEntries&) = delete;
  DesktopEntries& operator=(const DesktopEntries&) = delete;

  // The entry with this bundle identifier, preferring the one whose ID is "<identifier>.desktop"
  // over one mapped by X-Orvix-Bundle-Identifier.
  std::optional<DesktopEntry> forBundleIdentifier(std::string_view bundleIdentifier);
  std::optional<DesktopEntry> atLocation(std::string_view location);
  // The entry an X11 WM_CLASS names: its StartupWMClass equals the instance or the class, else
  // (for an entry without StartupWMClass) its ID without ".desktop" does, as GApplication
  // programs use their application id there.
  std::optional<DesktopEntry> forWindowClass(std::string_view instance, std::string_view windowClass);

  // Starts the entry's application with no file to open. Its standard input, output and error
  // are /dev/null: nothing it writes may reach the streams of this process.
  DesktopLaunch launch(const DesktopEntry& entry);

 private:
  class Catalogue;
  std::unique_ptr<Catalogue> catalogue_;
};

}  // namespace orvix::platform::linux_desktop
