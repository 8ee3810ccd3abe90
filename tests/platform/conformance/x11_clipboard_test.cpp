// The X11 pasteboard against other CLIPBOARD clients, on the fixture desktop of
// tests/support/x11/private_desktop.py: owners and requestors played by the test on X connections
// of their own (owners and the clipboard manager on threads of their own), and xclip as a real
// third-party client. ICCCM 2.2-2.7 and freedesktop's clipboard manager convention.
//
// gtest comes before Xlib, whose None and Bool macros would break its headers.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
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

// `size` bytes of printable ASCII that no shift of itself matches, so a lost or repeated piece
// shows.
std::string bigText(std::size_t size) {
  std::string text(size, ' ');
  for (std::size_t index = 0; index < size; ++index) {
    text[index] = static_cast<char>('!' + (index * 7 + index / 4093) % 90);
  }
  return text;
}

bool atOrAfter(Time time, Time reference) { return TappedEventTime::atOrAfter(time, reference); }

// Target names and the bytes an owner answers them with.
using Answers = std::map<std::string, std::string>;

struct PropertyValue {
  Atom type = None;
  int format = 0;
  std::string bytes;                 // format 8
  std::vector<unsigned long> items;  // format 32
};

struct Converted {
  bool refused = false;
  bool incremental = false;
  PropertyValue value;
};

// One X client of the test's own: a connection, and a window that hears its property changes.
// Used by one thread at a time.
class Client {
 public:
  Client() : display_(X11Display::open()) {
    if (!display_) return;
    window_ = XCreateSimpleWindow(get(), display_->root(), 0, 0, 1, 1, 0, 0, 0);
    XSelectInput(get(), window_, PropertyChangeMask);
    XFlush(get());
  }
  explicit operator bool() const { return display_ != nullptr; }
  Display* get() const { return display_->get(); }
  Window window() const { return window_; }
  Atom atom(const char* name) { return display_->atom(name); }
  std::string name(Atom atom) {
    char* name = XGetAtomName(get(), atom);
    std::string text = name != nullptr ? name : "";
    if (name != nullptr) XFree(name);
    return text;
  }

  // Waits for the first event `wanted` accepts; the events before it are handed to `other`.
  bool waitFor(const std::function<bool(const XEvent&)>& wanted, std::chrono::milliseconds timeout,
               XEvent* found = nullptr, const std::function<void(const XEvent&)>& other = {}) {
    const auto deadline = Clock::now() + timeout;
    XFlush(get());
    for (;;) {
      while (XPending(get()) > 0) {
        XEvent event;
        XNextEvent(get(), &event);
        if (wanted(event)) {
          if (found != nullptr) *found = event;
          return true;
        }
        if (other) other(event);
      }
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      pollfd fd{ConnectionNumber(get()), POLLIN, 0};
      ::poll(&fd, 1, static_cast<int>(left.count()));
    }
  }

  // The server's time now, as ICCCM asks clients to get it.
  Time now() {
    const Atom stamp = atom("ORVIX_TEST_TIME");
    const unsigned char nothing[4] = {};
    XChangeProperty(get(), window_, stamp, XA_INTEGER, 32, PropModeAppend, nothing, 0);
    XEvent event{};
    const bool seen = waitFor(
        [&](const XEvent& e) {
          return e.type == PropertyNotify && e.xproperty.window == window_ &&
                 e.xproperty.atom == stamp && e.xproperty.state == PropertyNewValue;
        },
        2s, &event);
    return seen ? event.xproperty.time : CurrentTime;
  }

  // The whole property of `window` (ours unless named), deleted when `remove`.
  PropertyValue read(Atom property, bool remove = true, Window window = None) {
    PropertyValue value;
    unsigned long count = 0, remaining = 0;
    unsigned char* data = nullptr;
    XGetWindowProperty(get(), window == None ? window_ : window, property, 0, 64L << 20, remove,
                       AnyPropertyType, &value.type, &value.format, &count, &remaining, &data);
    if (data != nullptr && value.format == 8) {
      value.bytes.assign(reinterpret_cast<const char*>(data), count);
    } else if (data != nullptr && value.format == 32) {
      const auto* items = reinterpret_cast<const unsigned long*>(data);
      value.items.assign(items, items + count);
    }
    if (data != nullptr) XFree(data);
    return value;
  }

  // Asks the owner of `selection` for `target` into `property` of our window, reading an
  // increment transfer to its end; absent when an answer or a piece takes longer than `timeout`.
  std::optional<Converted> convert(Atom selection, Atom target, Atom property, Time time,
                                   bool clearFirst = true, std::chrono::milliseconds timeout = 3s) {
    if (clearFirst) XDeleteProperty(get(), window_, property);
    XConvertSelection(get(), selection, target, property, window_, time);
    XEvent event{};
    if (!waitFor(
            [&](const XEvent& e) {
              return e.type == SelectionNotify && e.xselection.requestor == window_ &&
                     e.xselection.selection == selection && e.xselection.target == target;
            },
            timeout, &event)) {
      return std::nullopt;
    }
    Converted result;
    if (event.xselection.property == None) {
      result.refused = true;
      return result;
    }
    result.value = read(property);
    if (result.value.type != atom("INCR")) return result;
    result.incremental = true;
    result.value = PropertyValue{};
    for (;;) {
      if (!waitFor(
              [&](const XEvent& e) {
                return e.type == PropertyNotify && e.xproperty.window == window_ &&
                       e.xproperty.atom == property && e.xproperty.state == PropertyNewValue;
              },
              timeout)) {
        return std::nullopt;
      }
      const PropertyValue piece = read(property);
      if (piece.type == None) continue;
      result.value.type = piece.type;
      result.value.format = piece.format;
      if (piece.bytes.empty()) return result;
      result.value.bytes += piece.bytes;
    }
  }

  std::optional<Converted> convert(const char* target, Time time) {
    return convert(atom("CLIPBOARD"), atom(target), atom("ORVIX_TEST_INTO"), time);
  }

  // Takes `selection` with a real server time; the time, absent when another owner kept it.
  std::optional<Time> own(const char* selection) {
    const Time time = now();
    XSetSelectionOwner(get(), atom(selection), window_, time);
    if (XGetSelectionOwner(get(), atom(selection)) != window_) return std::nullopt;
    return time;
  }

 private:
  std::unique_ptr<X11Display> display_;
  Window window_ = None;
};

// A client that handles its events on a thread of its own until it is destroyed.
class Peer {
 public:
  Peer() : wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  virtual ~Peer() { stop(); }
  Client& client() { return client_; }

 protected:
  virtual void handle(const XEvent& event) = 0;
  void start() {
    thread_ = std::thread([this] {
      while (!stopping_) {
        while (XPending(client_.get()) > 0) {
          XEvent event;
          XNextEvent(client_.get(), &event);
          handle(event);
        }
        pollfd fds[2] = {{ConnectionNumber(client_.get()), POLLIN, 0}, {wake_, POLLIN, 0}};
        ::poll(fds, 2, -1);
      }
    });
  }
  // Subclasses stop the thread before their members go.
  void stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wake_, &one, sizeof(one));
    thread_.join();
    ::close(wake_);
  }
  void reply(const XSelectionRequestEvent& request, Atom property) {
    XSelectionEvent notice{};
    notice.type = SelectionNotify;
    notice.requestor = request.requestor;
    notice.selection = request.selection;
    notice.target = request.target;
    notice.property = property;
    notice.time = request.time;
    XSendEvent(client_.get(), request.requestor, False, NoEventMask,
               reinterpret_cast<XEvent*>(&notice));
    XFlush(client_.get());
  }

  Client client_;

 private:
  int wake_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// Another application's copy: owns the CLIPBOARD and answers the targets it is given (by name,
// bytes as they are), in increments of `piece` bytes when that is not zero.
class FakeOwner final : public Peer {
 public:
  explicit FakeOwner(Answers answers, std::size_t piece = 0)
      : answers_(std::move(answers)), piece_(piece) {
    if (!client_) return;
    ownedAt_ = client_.own("CLIPBOARD");
    start();
  }
  ~FakeOwner() override { stop(); }

  std::optional<Time> ownedAt() const { return ownedAt_; }
  void setAnswers(Answers answers) {
    std::lock_guard guard(lock_);
    answers_ = std::move(answers);
  }
  // The next request is answered only after this long.
  void delayNext(std::chrono::milliseconds delay) {
    std::lock_guard guard(lock_);
    delay_ = delay;
  }
  std::vector<std::string> asked() {
    std::lock_guard guard(lock_);
    return asked_;
  }
  int answered() const { return answered_; }
  bool cleared() const { return cleared_; }

 private:
  struct Transfer {
    Window requestor;
    Atom property;
    Atom type;
    std::string bytes;
    std::size_t sent = 0;
  };

  void handle(const XEvent& event) override {
    if (event.type == SelectionClear) {
      cleared_ = true;
    } else if (event.type == SelectionRequest) {
      answer(event.xselectionrequest);
    } else if (event.type == PropertyNotify && event.xproperty.state == PropertyDelete) {
      for (auto transfer = transfers_.begin(); transfer != transfers_.end(); ++transfer) {
        if (transfer->requestor != event.xproperty.window ||
            transfer->property != event.xproperty.atom) {
          continue;
        }
        const std::size_t size = std::min(piece_, transfer->bytes.size() - transfer->sent);
        XChangeProperty(
            client_.get(), transfer->requestor, transfer->property, transfer->type, 8,
            PropModeReplace,
            reinterpret_cast<const unsigned char*>(transfer->bytes.data() + transfer->sent),
            static_cast<int>(size));
        XFlush(client_.get());
        transfer->sent += size;
        if (size == 0) transfers_.erase(transfer);
        break;
      }
    }
  }

  void answer(const XSelectionRequestEvent& request) {
    std::optional<std::string> bytes;
    std::chrono::milliseconds delay{0};
    const std::string target = client_.name(request.target);
    {
      std::lock_guard guard(lock_);
      asked_.push_back(target);
      std::swap(delay, delay_);
      if (const auto found = answers_.find(target); found != answers_.end()) bytes = found->second;
    }
    if (delay.count() > 0) std::this_thread::sleep_for(delay);
    Atom property = None;
    if (bytes) {
      property = request.property;
      if (piece_ > 0 && bytes->size() > piece_) {
        XSelectInput(client_.get(), request.requestor, PropertyChangeMask);
        const unsigned long size = bytes->size();
        XChangeProperty(client_.get(), request.requestor, property, client_.atom("INCR"), 32,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(&size), 1);
        transfers_.push_back({request.requestor, property, request.target, std::move(*bytes)});
      } else {
        XChangeProperty(client_.get(), request.requestor, property, request.target, 8,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(bytes->data()),
                        static_cast<int>(bytes->size()));
      }
    }
    reply(request, property);
    ++answered_;
  }

  std::mutex lock_;
  Answers answers_;
  std::chrono::milliseconds delay_{0};
  std::vector<std::string> asked_;
  std::size_t piece_;
  std::optional<Time> ownedAt_;
  std::vector<Transfer> transfers_;
  std::atomic<int> answered_{0};
  std::atomic<bool> cleared_{false};
};

// A clipboard manager after freedesktop's convention: owns CLIPBOARD_MANAGER; asked for
// SAVE_TARGETS, it copies the CLIPBOARD's UTF8_STRING, takes the CLIPBOARD over and then answers.
// With `answers` false it never answers.
class FakeManager final : public Peer {
 public:
  explicit FakeManager(bool answers) : answers_(answers) {
    if (!client_) return;
    owns_ = client_.own("CLIPBOARD_MANAGER").has_value();
    start();
  }
  ~FakeManager() override { stop(); }
  bool owns() const { return owns_; }
  bool asked() const { return asked_; }
  std::optional<std::string> saved() {
    std::lock_guard guard(lock_);
    return saved_;
  }
  std::vector<std::string> targetsToSave() {
    std::lock_guard guard(lock_);
    return targetsToSave_;
  }

 private:
  void handle(const XEvent& event) override {
    if (event.type != SelectionRequest) return;
    const XSelectionRequestEvent& request = event.xselectionrequest;
    if (request.selection == client_.atom("CLIPBOARD")) {
      // After the take-over: serve what was saved.
      std::optional<std::string> text = saved();
      Atom property = None;
      if (text && request.target == client_.atom("UTF8_STRING")) {
        property = request.property;
        XChangeProperty(client_.get(), request.requestor, property, request.target, 8,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(text->data()),
                        static_cast<int>(text->size()));
      }
      reply(request, property);
      return;
    }
    if (request.target != client_.atom("SAVE_TARGETS")) {
      reply(request, None);
      return;
    }
    asked_ = true;
    std::vector<std::string> names;
    if (request.property != None) {
      const PropertyValue list = client_.read(request.property, false, request.requestor);
      for (const unsigned long target : list.items) names.push_back(client_.name(target));
    }
    {
      std::lock_guard guard(lock_);
      targetsToSave_ = names;
    }
    if (!answers_) return;
    const auto copy = client_.convert(client_.atom("CLIPBOARD"), client_.atom("UTF8_STRING"),
                                      client_.atom("ORVIX_TEST_SAVED"), client_.now());
    if (copy && !copy->refused) {
      std::lock_guard guard(lock_);
      saved_ = copy->value.bytes;
    }
    client_.own("CLIPBOARD");
    reply(request, request.property);
  }

  bool answers_;
  bool owns_ = false;
  std::atomic<bool> asked_{false};
  std::mutex lock_;
  std::optional<std::string> saved_;
  std::vector<std::string> targetsToSave_;
};

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

// Whether any window still holds one of the properties the pasteboard reads into.
bool readPropertiesLeft(Client& client) {
  Window root = None, parent = None;
  Window* children = nullptr;
  unsigned int count = 0;
  if (XQueryTree(client.get(), DefaultRootWindow(client.get()), &root, &parent, &children,
                 &count) == 0) {
    return false;
  }
  bool left = false;
  for (unsigned int index = 0; index < count && !left; ++index) {
    int properties = 0;
    Atom* atoms = XListProperties(client.get(), children[index], &properties);
    for (int property = 0; property < properties; ++property) {
      const std::string name = client.name(atoms[property]);
      if (name.rfind("ORVIX_PASTEBOARD_", 0) == 0 && name != "ORVIX_PASTEBOARD_TIME" &&
          name != "ORVIX_PASTEBOARD_SAVE") {
        left = true;
      }
    }
    if (atoms != nullptr) XFree(atoms);
  }
  if (children != nullptr) XFree(children);
  return left;
}

TEST(X11Clipboard, ReadsStayInStepAfterAnOwnerAnswersTooLate) {
  auto pasteboard = makePasteboard();
  ASSERT_TRUE(pasteboard);
  FakeOwner owner(Answers{{"UTF8_STRING", "first"}});
  ASSERT_TRUE(owner.ownedAt());
  owner.delayNext(1500ms);
  EXPECT_FALSE(pasteboard->string());  // given up after one second
  // The late answer reaches the pasteboard's connection before the next read begins.
  ASSERT_TRUE(eventually([&] { return owner.answered() == 1; }));
  owner.setAnswers({{"UTF8_STRING", "second"}});
  EXPECT_EQ(pasteboard->string(), "second");
  owner.setAnswers({{"UTF8_STRING", "third"}});
  EXPECT_EQ(pasteboard->string(), "third");
  // The late answer's property was deleted, not left on the pasteboard's window.
  Client observer;
  EXPECT_FALSE(readPropertiesLeft(observer));
}

TEST(X11Clipboard, ReadsIncrementTransfersWithinTheLimit) {
  auto pasteboard = makePasteboard();
  ASSERT_TRUE(pasteboard);
  const std::string text = bigText(1u << 20);
  {
    FakeOwner owner(Answers{{"UTF8_STRING", text}}, 64u << 10);
    ASSERT_TRUE(owner.ownedAt());
    EXPECT_TRUE(pasteboard->string() == text);
  }
  {
    // Over the 4 MiB read limit: not read, and the next read is not disturbed by the rest.
    FakeOwner owner(Answers{{"UTF8_STRING", bigText(5u << 20)}}, 64u << 10);
    ASSERT_TRUE(owner.ownedAt());
    EXPECT_FALSE(pasteboard->string());
  }
  {
    FakeOwner owner(Answers{{"UTF8_STRING", "small again"}});
    ASSERT_TRUE(owner.ownedAt());
    EXPECT_EQ(pasteboard->string(), "small again");
  }
  {
    // xclip as the owner: it sends what is larger than its piece (a quarter of the request
    // limit) in increments.
    const std::string large = bigText(3u << 20);
    const std::int64_t before = pasteboard->changeCount();
    ASSERT_TRUE(run("/usr/bin/xclip -i -selection clipboard -l 1", large));
    ASSERT_TRUE(eventually([&] { return pasteboard->changeCount() > before; }));
    const auto read = pasteboard->string();
    ASSERT_TRUE(read);
    EXPECT_TRUE(*read == large) << read->size() << " bytes";
  }
}

TEST(X11Clipboard, FallsBackToPlainTextAndLatin1Strings) {
  auto pasteboard = makePasteboard();
  ASSERT_TRUE(pasteboard);
  {
    FakeOwner owner(Answers{{"STRING",
                             "Gr\xFC\xDF"
                             "e caf\xE9"}});
    ASSERT_TRUE(owner.ownedAt());
    EXPECT_EQ(pasteboard->string(), "Grüße café");
    EXPECT_EQ(owner.asked(),
              (std::vector<std::string>{"UTF8_STRING", "text/plain;charset=utf-8", "STRING"}));
  }
  {
    FakeOwner owner(Answers{{"text/plain;charset=utf-8", "plain \U0001F30D"}});
    ASSERT_TRUE(owner.ownedAt());
    EXPECT_EQ(pasteboard->string(), "plain \U0001F30D");
    EXPECT_EQ(owner.asked(), (std::vector<std::string>{"UTF8_STRING", "text/plain;charset=utf-8"}));
  }
}

TEST(X11Clipboard, ServesTargetsTimestampAndMultiple) {
  auto pasteboard = makePasteboard();
  ASSERT_TRUE(pasteboard);
  Client requestor;
  const Time before = requestor.now();
  pasteboard->clearContents();
  ASSERT_TRUE(pasteboard->setString("Grüße"));
  const Time after = requestor.now();

  const auto targets = requestor.convert("TARGETS", after);
  ASSERT_TRUE(targets && !targets->refused);
  std::vector<std::string> names;
  for (const unsigned long target : targets->value.items) names.push_back(requestor.name(target));
  for (const char* expected :
       {"TARGETS", "TIMESTAMP", "MULTIPLE", "UTF8_STRING", "text/plain;charset=utf-8", "STRING"}) {
    EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;
  }

  // The time the pasteboard took the CLIPBOARD is a real server time of that moment.
  const auto stamp = requestor.convert("TIMESTAMP", after);
  ASSERT_TRUE(stamp && !stamp->refused);
  EXPECT_EQ(stamp->value.type, XA_INTEGER);
  ASSERT_EQ(stamp->value.items.size(), 1u);
  const Time ownedAt = stamp->value.items.front();
  EXPECT_NE(ownedAt, CurrentTime);
  EXPECT_TRUE(atOrAfter(ownedAt, before));
  EXPECT_TRUE(atOrAfter(after, ownedAt));

  const Atom into[] = {requestor.atom("ORVIX_TEST_A"), requestor.atom("ORVIX_TEST_B"),
                       requestor.atom("ORVIX_TEST_C")};
  const Atom multiple = requestor.atom("ORVIX_TEST_MULTIPLE");
  const unsigned long pairs[] = {requestor.atom("UTF8_STRING"), into[0], XA_STRING, into[1],
                                 requestor.atom("image/png"),   into[2]};
  XChangeProperty(requestor.get(), requestor.window(), multiple, requestor.atom("ATOM_PAIR"), 32,
                  PropModeReplace, reinterpret_cast<const unsigned char*>(pairs), 6);
  const auto answered = requestor.convert(requestor.atom("CLIPBOARD"), requestor.atom("MULTIPLE"),
                                          multiple, after, /*clearFirst=*/false);
  ASSERT_TRUE(answered && !answered->refused);
  EXPECT_EQ(answered->value.items,
            (std::vector<unsigned long>{requestor.atom("UTF8_STRING"), into[0], XA_STRING, into[1],
                                        None, into[2]}));
  EXPECT_EQ(requestor.read(into[0]).bytes, "Grüße");
  EXPECT_EQ(requestor.read(into[1]).bytes,
            "Gr\xFC\xDF"
            "e");
  EXPECT_EQ(requestor.read(into[2]).type, static_cast<Atom>(None));

  // A request stamped before the pasteboard took the CLIPBOARD is refused.
  const auto early = requestor.convert("UTF8_STRING", ownedAt - 1);
  ASSERT_TRUE(early);
  EXPECT_TRUE(early->refused);
  const auto timely = requestor.convert("UTF8_STRING", after);
  ASSERT_TRUE(timely && !timely->refused);
  EXPECT_EQ(timely->value.bytes, "Grüße");
}

TEST(X11Clipboard, OwnershipFollowsServerTimeBetweenCopies) {
  auto pasteboard = makePasteboard();
  ASSERT_TRUE(pasteboard);
  Client requestor;
  // Another application's copy just before the host's write: the write takes over with a later
  // time of its own, and the copy's owner hears that it lost the CLIPBOARD.
  auto other = std::make_unique<FakeOwner>(Answers{{"UTF8_STRING", "theirs"}});
  ASSERT_TRUE(other->ownedAt());
  const std::int64_t count = pasteboard->changeCount();
  ASSERT_TRUE(pasteboard->setString("ours"));
  EXPECT_TRUE(eventually([&] { return other->cleared(); }));
  EXPECT_EQ(pasteboard->changeCount(), count + 1);
  const Time after = requestor.now();
  const auto stamp = requestor.convert("TIMESTAMP", after);
  ASSERT_TRUE(stamp && !stamp->refused && stamp->value.items.size() == 1);
  EXPECT_TRUE(atOrAfter(stamp->value.items.front(), *other->ownedAt()));
  EXPECT_TRUE(atOrAfter(after, stamp->value.items.front()));
  EXPECT_EQ(pasteboard->string(), "ours");
  EXPECT_EQ(run("/usr/bin/xclip -o -selection clipboard"), "ours");

  // A copy after it wins, as its time is later: the pasteboard reads the copy.
  other.reset();
  FakeOwner later(Answers{{"UTF8_STRING", "theirs again"}});
  ASSERT_TRUE(later.ownedAt());
  EXPECT_TRUE(atOrAfter(*later.ownedAt(), stamp->value.items.front()));
  EXPECT_TRUE(eventually([&] { return pasteboard->changeCount() == count + 2; }));
  EXPECT_EQ(pasteboard->string(), "theirs again");
}

TEST(X11Clipboard, ServesLargeTextInIncrements) {
  auto pasteboard = makePasteboard();
  ASSERT_TRUE(pasteboard);
  const std::string text = bigText(1u << 20);
  ASSERT_TRUE(pasteboard->setString(text));
  Client requestor;
  const auto read = requestor.convert("UTF8_STRING", requestor.now());
  ASSERT_TRUE(read && !read->refused);
  EXPECT_TRUE(read->incremental);
  EXPECT_EQ(read->value.type, requestor.atom("UTF8_STRING"));
  EXPECT_TRUE(read->value.bytes == text) << read->value.bytes.size() << " bytes";
  const auto latin1 = requestor.convert("STRING", requestor.now());
  ASSERT_TRUE(latin1 && !latin1->refused);
  EXPECT_TRUE(latin1->incremental);
  EXPECT_TRUE(latin1->value.bytes == text);

  // xclip, a requestor of another toolkit, reads the largest text the pasteboard takes.
  const std::string largest = bigText(16u << 20);
  ASSERT_TRUE(pasteboard->setString(largest));
  const auto copied = run("/usr/bin/xclip -o -selection clipboard");
  ASSERT_TRUE(copied);
  EXPECT_TRUE(*copied == largest) << copied->size() << " bytes";
}

TEST(X11Clipboard, HandsTheTextToAClipboardManagerAtExit) {
  // The host writes, then ends: the pasteboard is destroyed while it owns the CLIPBOARD.
  const auto writeAndExit = [](const char* text) {
    auto pasteboard = makePasteboard();
    ASSERT_TRUE(pasteboard);
    ASSERT_TRUE(pasteboard->setString(text));
  };
  {
    FakeManager manager(/*answers=*/true);
    ASSERT_TRUE(manager.owns());
    writeAndExit("kept after exit \U0001F30D");
    EXPECT_TRUE(manager.asked());
    EXPECT_EQ(manager.saved(), "kept after exit \U0001F30D");
    const auto saved = manager.targetsToSave();
    EXPECT_NE(std::find(saved.begin(), saved.end(), "UTF8_STRING"), saved.end());
    // Another application pastes it from the manager once the host has gone.
    EXPECT_EQ(run("/usr/bin/xclip -o -selection clipboard"), "kept after exit \U0001F30D");
  }
  // A manager that never answers holds the exit up for a bounded time only.
  FakeManager silent(/*answers=*/false);
  ASSERT_TRUE(silent.owns());
  writeAndExit("not saved");
  EXPECT_TRUE(silent.asked());
}

}  // namespace
}  // namespace orvix::platform::linux_desktop
