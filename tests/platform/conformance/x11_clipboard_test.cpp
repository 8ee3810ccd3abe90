// The X11 pasteboard against other CLIPBOARD clients on the fixture desktop of
// tests/support/x11/private_desktop.py: xclip as a real third-party owner and requestor, and
// owners, requestors and a clipboard manager played by the test where one must misbehave or be
// watched (ICCCM 2.2-2.7, freedesktop's clipboard manager convention).
//
// gtest comes before Xlib, whose None and Bool macros would break its headers.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/desktop/tapped_event_time.h"
#include "platform/linux/desktop/x11_display.h"
#include "platform/linux/desktop/x11_pasteboard.h"

namespace orvix::platform::linux_desktop {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::unique_ptr<X11Pasteboard> makePasteboard() {
  return X11Pasteboard::create(X11Display::open(), X11Display::open());
}

// Printable ASCII that no shift of itself matches, so a lost or repeated piece shows.
std::string bigText(std::size_t size) {
  std::string text(size, ' ');
  for (std::size_t index = 0; index < size; ++index) {
    text[index] = static_cast<char>('!' + (index * 7 + index / 4093) % 90);
  }
  return text;
}

bool atOrAfter(Time time, Time reference) { return TappedEventTime::atOrAfter(time, reference); }

// Runs a shell command under a time limit; its standard output, absent when it failed.
std::optional<std::string> run(const std::string& command, const std::string& input = {}) {
  std::FILE* pipe = ::popen(("timeout 10 " + command).c_str(), input.empty() ? "r" : "w");
  if (pipe == nullptr) return std::nullopt;
  std::string output;
  if (input.empty()) {
    char buffer[65536];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) output.append(buffer, got);
  } else {
    std::fwrite(input.data(), 1, input.size(), pipe);
  }
  if (::pclose(pipe) != 0) return std::nullopt;
  return output;
}

template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds timeout = 3s) {
  const auto deadline = Clock::now() + timeout;
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

struct PropertyValue {
  Atom type = None;
  std::string bytes;                 // format 8
  std::vector<unsigned long> items;  // format 32
};

// An X client of the test's own: a connection, and a window that hears its property changes.
class Client {
 public:
  Client() : display_(X11Display::open()) {
    if (!display_) return;
    window_ = XCreateSimpleWindow(get(), display_->root(), 0, 0, 1, 1, 0, 0, 0);
    XSelectInput(get(), window_, PropertyChangeMask);
  }
  explicit operator bool() const { return display_ != nullptr; }
  Display* get() const { return display_->get(); }
  Window window() const { return window_; }
  Atom atom(const char* name) { return display_->atom(name); }
  std::string name(Atom atom) {
    const std::unique_ptr<char, int (*)(void*)> name(XGetAtomName(get(), atom), XFree);
    return name ? name.get() : "";
  }

  // The first event `wanted` accepts, absent after `timeout`.
  std::optional<XEvent> waitFor(const std::function<bool(const XEvent&)>& wanted,
                                std::chrono::milliseconds timeout = 3s) {
    const auto deadline = Clock::now() + timeout;
    XFlush(get());
    for (;;) {
      while (XPending(get()) > 0) {
        XEvent event;
        XNextEvent(get(), &event);
        if (wanted(event)) return event;
      }
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd fd{ConnectionNumber(get()), POLLIN, 0};
      ::poll(&fd, 1, static_cast<int>(left.count()));
    }
  }

  // The server's time now, as ICCCM asks clients to get it.
  Time now() {
    const Atom stamp = atom("ORVIX_TEST_TIME");
    XChangeProperty(get(), window_, stamp, XA_INTEGER, 32, PropModeAppend, nullptr, 0);
    const auto event = waitFor([&](const XEvent& e) {
      return e.type == PropertyNotify && e.xproperty.window == window_ && e.xproperty.atom == stamp;
    });
    return event ? event->xproperty.time : CurrentTime;
  }

  // The property of `window` (ours unless named), deleted when `remove`.
  PropertyValue read(Atom property, bool remove = true, Window window = None) {
    PropertyValue value;
    int format = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char* data = nullptr;
    XGetWindowProperty(get(), window == None ? window_ : window, property, 0, 1L << 20, remove,
                       AnyPropertyType, &value.type, &format, &count, &remaining, &data);
    if (data != nullptr && format == 8) value.bytes.assign(reinterpret_cast<char*>(data), count);
    if (data != nullptr && format == 32) {
      const auto* items = reinterpret_cast<const unsigned long*>(data);
      value.items.assign(items, items + count);
    }
    if (data != nullptr) XFree(data);
    return value;
  }

  // The owner's answer for `target` in `into` of our window: absent when it takes too long,
  // a value of type None when refused.
  std::optional<PropertyValue> convert(const char* target, Time time,
                                       const char* into = "ORVIX_TEST_INTO") {
    const Atom clipboard = atom("CLIPBOARD");
    XConvertSelection(get(), clipboard, atom(target), atom(into), window_, time);
    const auto event = waitFor([&](const XEvent& e) {
      return e.type == SelectionNotify && e.xselection.requestor == window_ &&
             e.xselection.selection == clipboard && e.xselection.target == atom(target);
    });
    if (!event) return std::nullopt;
    if (event->xselection.property == None) return PropertyValue{};
    return read(atom(into));
  }

  // Takes `selection` with a real server time; the time, absent when another owner kept it.
  std::optional<Time> own(const char* selection) {
    if (!display_) return std::nullopt;
    const Time time = now();
    XSetSelectionOwner(get(), atom(selection), window_, time);
    if (XGetSelectionOwner(get(), atom(selection)) != window_) return std::nullopt;
    return time;
  }

  // Answers `request` with `bytes` (of the requested target), or refuses it.
  void answer(const XSelectionRequestEvent& request, const std::optional<std::string>& bytes) {
    if (bytes) {
      XChangeProperty(get(), request.requestor, request.property, request.target, 8,
                      PropModeReplace, reinterpret_cast<const unsigned char*>(bytes->data()),
                      static_cast<int>(bytes->size()));
    }
    XSelectionEvent notice{};
    notice.type = SelectionNotify;
    notice.requestor = request.requestor;
    notice.selection = request.selection;
    notice.target = request.target;
    notice.property = bytes ? request.property : None;
    notice.time = request.time;
    XSendEvent(get(), request.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&notice));
    XFlush(get());
  }

  // From now on, hands this client's events to `handle` on a thread of its own.
  void serve(std::function<void(Client&, const XEvent&)> handle) {
    if (!display_) return;
    server_ = std::jthread([this, handle = std::move(handle)](std::stop_token stop) {
      while (!stop.stop_requested()) {
        for (XEvent event; XPending(get()) > 0;) {
          XNextEvent(get(), &event);
          handle(*this, event);
        }
        pollfd fd{ConnectionNumber(get()), POLLIN, 0};
        ::poll(&fd, 1, 20);
      }
    });
  }

 private:
  std::unique_ptr<X11Display> display_;
  Window window_ = None;
  std::jthread server_;  // stops before the connection closes
};

// Another application's copy: answers the targets named in `answers` with their bytes as they
// are, and refuses the others.
struct FakeOwner {
  explicit FakeOwner(const std::string& target = {}, const std::string& text = {}) {
    if (!target.empty()) answers[target] = text;
    ownedAt = client.own("CLIPBOARD");
    client.serve([this](Client& self, const XEvent& event) {
      cleared = cleared || event.type == SelectionClear;
      if (event.type != SelectionRequest) return;
      std::optional<std::string> bytes;
      std::chrono::milliseconds delay{0};
      {
        std::lock_guard guard(lock);
        askedTargets.push_back(self.name(event.xselectionrequest.target));
        std::swap(delay, nextDelay);
        if (const auto found = answers.find(askedTargets.back()); found != answers.end()) {
          bytes = found->second;
        }
      }
      std::this_thread::sleep_for(delay);
      self.answer(event.xselectionrequest, bytes);
      ++answered;
    });
  }
  std::vector<std::string> asked() {
    std::lock_guard guard(lock);
    return askedTargets;
  }
  void set(std::string text, std::chrono::milliseconds delay = 0ms) {
    std::lock_guard guard(lock);
    answers = {{"UTF8_STRING", std::move(text)}};
    nextDelay = delay;
  }

  std::mutex lock;
  std::map<std::string, std::string> answers;
  std::chrono::milliseconds nextDelay{0};
  std::vector<std::string> askedTargets;
  std::atomic<int> answered{0};
  std::atomic<bool> cleared{false};
  std::optional<Time> ownedAt;
  Client client;  // last: its thread stops first
};

// Whether any top-level window still holds a property the pasteboard reads into.
bool readPropertiesLeft(Client& client) {
  Window root = None, parent = None;
  Window* children = nullptr;
  unsigned int count = 0;
  XQueryTree(client.get(), DefaultRootWindow(client.get()), &root, &parent, &children, &count);
  bool left = false;
  for (unsigned int index = 0; index < count; ++index) {
    int properties = 0;
    Atom* atoms = XListProperties(client.get(), children[index], &properties);
    for (int property = 0; property < properties; ++property) {
      const std::string name = client.name(atoms[property]);
      left = left || (name.rfind("ORVIX_PASTEBOARD_", 0) == 0 && name != "ORVIX_PASTEBOARD_TIME" &&
                      name != "ORVIX_PASTEBOARD_SAVE");
    }
    if (atoms != nullptr) XFree(atoms);
  }
  if (children != nullptr) XFree(children);
  return left;
}

TEST(X11Clipboard, ReadsStayInStepAfterAnOwnerAnswersTooLate) {
  auto pasteboard = makePasteboard();
  ASSERT_TRUE(pasteboard);
  FakeOwner owner;
  ASSERT_TRUE(owner.ownedAt);
  owner.set("first", 1500ms);
  EXPECT_FALSE(pasteboard->string());  // given up after one second
  // The late answer reaches the pasteboard's connection before the next read begins.
  ASSERT_TRUE(eventually([&] { return owner.answered == 1; }));
  owner.set("second");
  EXPECT_EQ(pasteboard->string(), "second");
  owner.set("third");
  EXPECT_EQ(pasteboard->string(), "third");
  Client observer;
  EXPECT_FALSE(readPropertiesLeft(observer));
}

TEST(X11Clipboard, ReadsIncrementTransfersWithinTheLimit) {
  auto pasteboard = makePasteboard();
  ASSERT_TRUE(pasteboard);
  // xclip sends what is larger than a quarter of the request limit in increments, and gives
  // no size up front: a read over the 4 MiB limit is cut off while the pieces come.
  for (const std::size_t size : {3u << 20, 5u << 20}) {
    const std::string text = bigText(size);
    const std::int64_t before = pasteboard->changeCount();
    ASSERT_TRUE(run("/usr/bin/xclip -i -selection clipboard -l 1", text));
    ASSERT_TRUE(eventually([&] { return pasteboard->changeCount() > before; }));
    const auto read = pasteboard->string();
    if (size > (4u << 20)) {
      EXPECT_FALSE(read);
    } else {
      EXPECT_TRUE(read && *read == text) << (read ? read->size() : 0) << " bytes";
    }
  }
  // The rest of the cut-off transfer does not disturb the next read.
  FakeOwner owner("UTF8_STRING", "small again");
  ASSERT_TRUE(owner.ownedAt);
  EXPECT_EQ(pasteboard->string(), "small again");
}

TEST(X11Clipboard, FallsBackToPlainTextAndLatin1Strings) {
  auto pasteboard = makePasteboard();
  ASSERT_TRUE(pasteboard);
  {
    FakeOwner owner("STRING", "Gr\xFC\xDF\x65 caf\xE9");
    ASSERT_TRUE(owner.ownedAt);
    EXPECT_EQ(pasteboard->string(), "Grüße café");
    EXPECT_EQ(owner.asked(),
              (std::vector<std::string>{"UTF8_STRING", "text/plain;charset=utf-8", "STRING"}));
  }
  FakeOwner owner("text/plain;charset=utf-8", "plain \U0001F30D");
  ASSERT_TRUE(owner.ownedAt);
  EXPECT_EQ(pasteboard->string(), "plain \U0001F30D");
}

TEST(X11Clipboard, OwnershipFollowsServerTimeAndServesTargetsTimestampAndMultiple) {
  auto pasteboard = makePasteboard();
  ASSERT_TRUE(pasteboard);
  Client requestor;
  // Another application's copy just before the host's write: the write takes over with a later
  // time of its own, and the copy's owner hears that it lost the CLIPBOARD.
  auto other = std::make_unique<FakeOwner>();
  ASSERT_TRUE(other->ownedAt);
  const std::int64_t count = pasteboard->changeCount();
  const Time before = requestor.now();
  ASSERT_TRUE(pasteboard->setString("Grüße"));
  const Time after = requestor.now();
  EXPECT_TRUE(eventually([&] { return other->cleared.load(); }));
  EXPECT_EQ(pasteboard->changeCount(), count + 1);

  const auto targets = requestor.convert("TARGETS", after);
  ASSERT_TRUE(targets);
  std::vector<std::string> names;
  for (const unsigned long target : targets->items) names.push_back(requestor.name(target));
  for (const char* expected :
       {"TARGETS", "TIMESTAMP", "MULTIPLE", "UTF8_STRING", "text/plain;charset=utf-8", "STRING"}) {
    EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;
  }

  // The time the pasteboard took the CLIPBOARD is a real server time of that moment.
  const auto stamp = requestor.convert("TIMESTAMP", after);
  ASSERT_TRUE(stamp && stamp->type == XA_INTEGER && stamp->items.size() == 1);
  const Time ownedAt = stamp->items.front();
  EXPECT_TRUE(atOrAfter(ownedAt, before));
  EXPECT_TRUE(atOrAfter(after, ownedAt));

  const Atom into[] = {requestor.atom("ORVIX_TEST_A"), requestor.atom("ORVIX_TEST_B"),
                       requestor.atom("ORVIX_TEST_C")};
  const unsigned long pairs[] = {requestor.atom("UTF8_STRING"), into[0], XA_STRING, into[1],
                                 requestor.atom("image/png"),   into[2]};
  XChangeProperty(requestor.get(), requestor.window(), requestor.atom("ORVIX_TEST_MULTIPLE"),
                  requestor.atom("ATOM_PAIR"), 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(pairs), 6);
  const auto answered = requestor.convert("MULTIPLE", after, "ORVIX_TEST_MULTIPLE");
  ASSERT_TRUE(answered);
  EXPECT_EQ(answered->items, (std::vector<unsigned long>{requestor.atom("UTF8_STRING"), into[0],
                                                         XA_STRING, into[1], None, into[2]}));
  EXPECT_EQ(requestor.read(into[0]).bytes, "Grüße");
  EXPECT_EQ(requestor.read(into[1]).bytes, "Gr\xFC\xDF\x65");
  EXPECT_EQ(requestor.read(into[2]).type, static_cast<Atom>(None));

  // A request stamped before the pasteboard took the CLIPBOARD is refused.
  const auto early = requestor.convert("UTF8_STRING", ownedAt - 1);
  ASSERT_TRUE(early);
  EXPECT_EQ(early->type, static_cast<Atom>(None));

  // A copy after it wins, as its time is later: the pasteboard reads the copy.
  other.reset();
  FakeOwner later("UTF8_STRING", "theirs");
  ASSERT_TRUE(later.ownedAt);
  EXPECT_TRUE(eventually([&] { return pasteboard->changeCount() == count + 2; }));
  EXPECT_EQ(pasteboard->string(), "theirs");
}

TEST(X11Clipboard, ACountReadAsOfAKeyPressLeavesOutOnlyWhatThatPressCouldHaveCopied) {
  auto pasteboard = makePasteboard();
  ASSERT_TRUE(pasteboard);
  Client keyboard;
  const auto settled = [&](std::int64_t count) {
    return eventually([&] { return pasteboard->changeCount() == count; });
  };
  // The application copies for the press after it: not yet in the count as of the press.
  ASSERT_TRUE(pasteboard->setString("pasted before"));
  const std::int64_t start = pasteboard->changeCount();
  const Time pressed = keyboard.now();
  auto copy = std::make_unique<FakeOwner>("UTF8_STRING", "copied");
  ASSERT_TRUE(copy->ownedAt);
  ASSERT_TRUE(settled(start + 1));
  {
    const TappedEventTime::Scope late(pressed);
    EXPECT_EQ(pasteboard->changeCount(), start);
  }

  // The host pastes after that copy, before the press's callback runs: what the CLIPBOARD
  // shows is the host's, so nothing since the press counts as the press's.
  ASSERT_TRUE(pasteboard->setString("pasted after"));
  {
    const TappedEventTime::Scope late(pressed);
    EXPECT_EQ(pasteboard->changeCount(), start + 2);
  }

  // Changes weeks older than a press (the server's clock is half a wrap further on) were made
  // before it.
  copy = std::make_unique<FakeOwner>("UTF8_STRING", "copied again");
  ASSERT_TRUE(copy->ownedAt);
  ASSERT_TRUE(settled(start + 3));
  constexpr Time thirtyDays = 30u * 24 * 3600 * 1000;
  const TappedEventTime::Scope weeksLater(static_cast<Time>(
      static_cast<std::uint32_t>(*copy->ownedAt) + static_cast<std::uint32_t>(thirtyDays)));
  EXPECT_EQ(pasteboard->changeCount(), start + 3);
}

TEST(X11Clipboard, ServesLargeTextInIncrements) {
  // xclip reads the largest text the pasteboard takes, which only increments can carry.
  auto pasteboard = makePasteboard();
  ASSERT_TRUE(pasteboard);
  const std::string largest = bigText(16u << 20);
  ASSERT_TRUE(pasteboard->setString(largest));
  for (const char* target : {"UTF8_STRING", "STRING"}) {
    const auto copied = run(std::string("/usr/bin/xclip -o -selection clipboard -t ") + target);
    ASSERT_TRUE(copied) << target;
    EXPECT_TRUE(*copied == largest) << target << ": " << copied->size() << " bytes";
  }
}

TEST(X11Clipboard, HandsTheTextToAClipboardManagerAtExit) {
  // A clipboard manager that copies the CLIPBOARD's UTF8_STRING when asked for SAVE_TARGETS,
  // or with `answers` false never answers.
  struct FakeManager {
    explicit FakeManager(bool answers) {
      ownedAt = client.own("CLIPBOARD_MANAGER");
      client.serve([this, answers](Client& self, const XEvent& event) {
        if (event.type != SelectionRequest) return;
        const XSelectionRequestEvent& request = event.xselectionrequest;
        if (request.target != self.atom("SAVE_TARGETS")) return self.answer(request, {});
        for (const unsigned long target :
             self.read(request.property, false, request.requestor).items) {
          targetsToSave.push_back(self.name(target));
        }
        const auto copy =
            answers ? self.convert("UTF8_STRING", self.now(), "ORVIX_TEST_SAVED") : std::nullopt;
        if (copy && copy->type != None) saved = copy->bytes;
        asked = true;
        if (answers) self.answer(request, "");
      });
    }
    std::atomic<bool> asked{false};
    std::optional<std::string> saved;  // read once `asked`
    std::vector<std::string> targetsToSave;
    std::optional<Time> ownedAt;
    Client client;
  };
  const auto writeAndExit = [](const char* text) {
    const auto pasteboard = makePasteboard();
    ASSERT_TRUE(pasteboard);
    ASSERT_TRUE(pasteboard->setString(text));
  };
  {
    FakeManager manager(/*answers=*/true);
    ASSERT_TRUE(manager.ownedAt);
    writeAndExit("kept after exit \U0001F30D");
    ASSERT_TRUE(eventually([&] { return manager.asked.load(); }));
    EXPECT_EQ(manager.saved, "kept after exit \U0001F30D");
    const auto& targets = manager.targetsToSave;
    EXPECT_NE(std::find(targets.begin(), targets.end(), "UTF8_STRING"), targets.end());
  }
  // A manager that never answers holds the exit up for a bounded time only.
  FakeManager silent(/*answers=*/false);
  ASSERT_TRUE(silent.ownedAt);
  const auto start = Clock::now();
  writeAndExit("not saved");
  EXPECT_LT(Clock::now() - start, 3s);
  EXPECT_TRUE(eventually([&] { return silent.asked.load(); }));
}

}  // namespace
}  // namespace orvix::platform::linux_desktop
