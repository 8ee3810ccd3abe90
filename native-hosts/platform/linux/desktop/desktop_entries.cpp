#include "platform/linux/desktop/desktop_entries.h"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include <mutex>
#include <unordered_map>
#include <vector>

namespace orvix::platform::linux_desktop {

namespace {

// More entries than any desktop installs: the rest of a longer list is ignored.
constexpr std::size_t kMaximumEntries = 4096;
constexpr std::string_view kDesktopSuffix = ".desktop";
constexpr const char* kBundleIdentifierKey = "X-Orvix-Bundle-Identifier";

struct GObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
using AppInfoRef = std::unique_ptr<GDesktopAppInfo, GObjectUnref>;

std::string takeString(char* owned) {
  std::string value = owned != nullptr ? owned : "";
  g_free(owned);
  return value;
}

std::string_view withoutSuffix(std::string_view id) {
  if (id.size() > kDesktopSuffix.size() && id.ends_with(kDesktopSuffix)) {
    id.remove_suffix(kDesktopSuffix.size());
  }
  return id;
}

void recordPid(GDesktopAppInfo*, GPid pid, gpointer launch) {
  static_cast<DesktopLaunch*>(launch)->pid = static_cast<ProcessId>(pid);
}

}  // namespace

class DesktopEntries::Catalogue {
 public:
  Catalogue() : context_(g_main_context_new()) {
    // GIO announces changes on the thread-default context of whoever asked for the monitor.
    // A private one that only lookups iterate delivers them here and nowhere else.
    g_main_context_push_thread_default(context_);
    monitor_ = g_app_info_monitor_get();
    g_main_context_pop_thread_default(context_);
    handler_ = g_signal_connect(monitor_, "changed", G_CALLBACK(&Catalogue::changed), this);
  }

  ~Catalogue() {
    g_signal_handler_disconnect(monitor_, handler_);
    g_object_unref(monitor_);
    g_main_context_unref(context_);
  }

  std::optional<DesktopEntry> forBundleIdentifier(std::string_view bundleIdentifier) {
    std::lock_guard guard(lock_);
    return find(byBundleIdentifier_, bundleIdentifier);
  }

  std::optional<DesktopEntry> atLocation(std::string_view location) {
    std::lock_guard guard(lock_);
    return find(byLocation_, location);
  }

  std::optional<DesktopEntry> forWindowClass(std::string_view instance, std::string_view windowClass) {
    std::lock_guard guard(lock_);
    for (const auto* names : {&byStartupWmClass_, &byDesktopIdStem_}) {
      for (const std::string_view name : {instance, windowClass}) {
        if (auto entry = find(*names, name)) return entry;
      }
    }
    return std::nullopt;
  }

  // GIO finishes part of a launch later, on a worker thread of its own (the flush of the
  // "Launched" signal to the session bus), and returns there to the caller's thread-default
  // context. Left to the process's default context, that return would be run by the AT-SPI
  // binding, which iterates the default context on its own thread under its own lock; on this
  // private one the next lookup runs it, on the thread that looks up, under this lock.
  DesktopLaunch launch(GDesktopAppInfo* info, GAppLaunchContext* context, GSpawnFlags flags) {
    std::lock_guard guard(lock_);
    g_main_context_push_thread_default(context_);
    DesktopLaunch launch;
    GError* error = nullptr;
    launch.started = g_desktop_app_info_launch_uris_as_manager(info, nullptr, context, flags, nullptr,
                                                               nullptr, &recordPid, &launch,
                                                               &error) != FALSE;
    g_main_context_pop_thread_default(context_);
    if (error != nullptr) g_error_free(error);
    if (!launch.started) launch.pid.reset();
    return launch;
  }

 private:
  using Index = std::unordered_map<std::string, std::size_t>;

  static void changed(GAppInfoMonitor*, gpointer self) { static_cast<Catalogue*>(self)->stale_ = true; }

  // Under the lock.
  std::optional<DesktopEntry> find(const Index& index, std::string_view key) {
    refreshIfStale();
    if (key.empty()) return std::nullopt;
    const auto found = index.find(std::string(key));
    if (found == index.end()) return std::nullopt;
    return entries_[found->second];
  }

  void refreshIfStale() {
    // Delivers a pending "changed" from GIO, if any; never blocks.
    while (g_main_context_iteration(context_, FALSE)) {
    }
    if (!stale_) return;
    stale_ = false;
    entries_.clear();
    byBundleIdentifier_.clear();
    byLocation_.clear();
    byStartupWmClass_.clear();
    byDesktopIdStem_.clear();
    GList* all = g_app_info_get_all();
    // Entries named by their own ID first, so they win over a mapping by key to the same
    // identifier.
    std::vector<std::size_t> mappedByKey;
    for (GList* item = all; item != nullptr && entries_.size() < kMaximumEntries; item = item->next) {
      if (!G_IS_DESKTOP_APP_INFO(item->data)) continue;
      auto* info = G_DESKTOP_APP_INFO(item->data);
      const char* id = g_app_info_get_id(G_APP_INFO(info));
      const char* file = g_desktop_app_info_get_filename(info);
      if (id == nullptr || file == nullptr) continue;
      const std::string stem(withoutSuffix(id));
      const char* name = g_app_info_get_name(G_APP_INFO(info));
      std::string mapped = takeString(g_desktop_app_info_get_string(info, kBundleIdentifierKey));
      const bool byKey = !mapped.empty() && mapped != stem;
      const std::size_t index = entries_.size();
      entries_.push_back(DesktopEntry{byKey ? std::move(mapped) : stem, file, name ? name : stem});
      byLocation_.emplace(file, index);
      if (const char* wmClass = g_desktop_app_info_get_startup_wm_class(info)) {
        byStartupWmClass_.emplace(wmClass, index);
      } else {
        byDesktopIdStem_.emplace(stem, index);
      }
      if (byKey) {
        mappedByKey.push_back(index);
      } else {
        byBundleIdentifier_.emplace(stem, index);
      }
    }
    g_list_free_full(all, g_object_unref);
    for (const std::size_t index : mappedByKey) {
      byBundleIdentifier_.emplace(entries_[index].bundleIdentifier, index);
    }
  }

  GMainContext* context_;
  GAppInfoMonitor* monitor_ = nullptr;
  gulong handler_ = 0;

  std::mutex lock_;
  bool stale_ = true;  // set by the monitor while a lookup iterates the context, under the lock
  std::vector<DesktopEntry> entries_;
  Index byBundleIdentifier_;
  Index byLocation_;
  Index byStartupWmClass_;
  Index byDesktopIdStem_;
};

DesktopEntries::DesktopEntries() : catalogue_(std::make_unique<Catalogue>()) {}
DesktopEntries::~DesktopEntries() = default;

std::optional<DesktopEntry> DesktopEntries::forBundleIdentifier(std::string_view bundleIdentifier) {
  return catalogue_->forBundleIdentifier(bundleIdentifier);
}

std::optional<DesktopEntry> DesktopEntries::atLocation(std::string_view location) {
  return catalogue_->atLocation(location);
}

std::optional<DesktopEntry> DesktopEntries::forWindowClass(std::string_view instance,
                                                           std::string_view windowClass) {
  return catalogue_->forWindowClass(instance, windowClass);
}

DesktopLaunch DesktopEntries::launch(const DesktopEntry& entry) {
  // Read afresh: the file may have changed or gone since the list was read.
  const AppInfoRef info(g_desktop_app_info_new_from_filename(entry.location.c_str()));
  if (!info || g_desktop_app_info_get_is_hidden(info.get())) return {};
  // GIO gives the child /dev/null for standard input unless told otherwise, closes every other
  // descriptor of ours and lets init reap it.
  const auto flags = static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL |
                                              G_SPAWN_STDERR_TO_DEV_NULL);
  // Chromium and Electron (every agent), Qt and often Firefox leave their accessibility tree
  // switched off unless told at start that something will read it.
  GAppLaunchContext* context = g_app_launch_context_new();
  g_app_launch_context_setenv(context, "ACCESSIBILITY_ENABLED", "1");
  g_app_launch_context_setenv(context, "QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
  const DesktopLaunch launch = catalogue_->launch(info.get(), context, flags);
  g_object_unref(context);
  return launch;
}

}  // namespace orvix::platform::linux_desktop
