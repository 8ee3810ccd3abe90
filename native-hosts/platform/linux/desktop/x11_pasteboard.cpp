#include "platform/linux/desktop/x11_pasteboard.h"

#include <X11/Xatom.h>
#include <X11/extensions/Xfixes.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>

#include "common/utf16.h"
#include "common/utf8_repair.h"
#include "platform/linux/desktop/tapped_event_time.h"

namespace orvix::platform::linux_desktop {

namespace {

constexpr std::size_t kMaximumOwnText = 16u << 20;
constexpr long kMaximumReadBytes = 4L << 20;
constexpr auto kReadTimeout = std::chrono::seconds(1);

Window makeWindow(X11Display& display) {
  return XCreateSimpleWindow(display.get(), display.root(), 0, 0, 1, 1, 0, 0, 0);
}

// STRING is Latin-1: characters beyond it become '?'.
std::string latin1(const std::string& utf8) {
  const auto units = toUtf16(utf8);
  std::string out;
  if (!units) return out;
  for (const char16_t unit : *units) {
    out.push_back(unit < 0x100 ? static_cast<char>(unit) : '?');
  }
  return out;
}

}  // namespace

std::unique_ptr<X11Pasteboard> X11Pasteboard::create(std::unique_ptr<X11Display> owner,
                                                     std::unique_ptr<X11Display> reader) {
  if (!owner || !reader) return nullptr;
  int eventBase = 0, errorBase = 0;
  if (!XFixesQueryExtension(owner->get(), &eventBase, &errorBase)) return nullptr;
  const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) return nullptr;
  return std::unique_ptr<X11Pasteboard>(
      new X11Pasteboard(std::move(owner), std::move(reader), eventBase, wake));
}

X11Pasteboard::X11Pasteboard(std::unique_ptr<X11Display> owner, std::unique_ptr<X11Display> reader,
                             int fixesEventBase, int wake)
    : owner_(std::move(owner)), reader_(std::move(reader)), fixesEventBase_(fixesEventBase),
      wake_(wake) {
  ownerWindow_ = makeWindow(*owner_);
  readerWindow_ = makeWindow(*reader_);
  clipboard_ = owner_->atom("CLIPBOARD");
  utf8_ = owner_->atom("UTF8_STRING");
  targets_ = owner_->atom("TARGETS");
  text_ = owner_->atom("TEXT");
  plain_ = owner_->atom("text/plain;charset=utf-8");
  string_ = XA_STRING;
  incr_ = owner_->atom("INCR");
  property_ = reader_->atom("ORVIX_PASTEBOARD");
  XFixesSelectSelectionInput(owner_->get(), ownerWindow_, clipboard_,
                             XFixesSetSelectionOwnerNotifyMask |
                                 XFixesSelectionWindowDestroyNotifyMask |
                                 XFixesSelectionClientCloseNotifyMask);
  XFlush(owner_->get());
  XFlush(reader_->get());
  server_ = std::thread([this] { serve(); });
}

X11Pasteboard::~X11Pasteboard() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = ::write(wake_, &one, sizeof(one));
  server_.join();
  ::close(wake_);
}

void X11Pasteboard::serve() {
  for (;;) {
    pollfd fds[2] = {{ConnectionNumber(owner_->get()), POLLIN, 0}, {wake_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) return;
    std::lock_guard guard(owner_->lock());
    handlePendingLocked();
  }
}

void X11Pasteboard::handlePendingLocked() {
  Display* display = owner_->get();
  while (XPending(display) > 0) {
    XEvent event;
    XNextEvent(display, &event);
    if (event.type == SelectionRequest) {
      answerRequestLocked(event.xselectionrequest);
    } else if (event.type == SelectionClear && event.xselectionclear.selection == clipboard_) {
      owned_ = false;
      contents_.reset();
    } else if (event.type == fixesEventBase_ + XFixesSelectionNotify) {
      const auto& notice = reinterpret_cast<const XFixesSelectionNotifyEvent&>(event);
      // Our own changes were counted when they were made.
      if (notice.selection == clipboard_ && notice.owner != ownerWindow_) {
        ++changeCount_;
        if (otherOwnersChangedAt_.size() == kRememberedChanges) otherOwnersChangedAt_.pop_front();
        otherOwnersChangedAt_.push_back(notice.timestamp);
      }
    }
  }
}

void X11Pasteboard::answerRequestLocked(const XSelectionRequestEvent& request) {
  Display* display = owner_->get();
  XSelectionEvent reply{};
  reply.type = SelectionNotify;
  reply.display = display;
  reply.requestor = request.requestor;
  reply.selection = request.selection;
  reply.target = request.target;
  reply.time = request.time;
  // Clients from before ICCCM 2 leave the property out: the target names it then.
  const Atom property = request.property == None ? request.target : request.property;
  reply.property = None;
  const long limit = XExtendedMaxRequestSize(display) > 0 ? XExtendedMaxRequestSize(display)
                                                          : XMaxRequestSize(display);
  const std::size_t maximumBytes = static_cast<std::size_t>(limit) * 4 - 1024;
  if (owned_ && contents_ && request.selection == clipboard_) {
    if (request.target == targets_) {
      const Atom offered[] = {targets_, utf8_, plain_, text_, string_};
      XChangeProperty(display, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(offered), 5);
      reply.property = property;
    } else if (request.target == utf8_ || request.target == plain_ || request.target == text_ ||
               request.target == string_) {
      const std::string bytes = request.target == string_ ? latin1(*contents_) : *contents_;
      if (bytes.size() <= maximumBytes) {
        XChangeProperty(display, request.requestor, property,
                        request.target == string_ ? string_ : utf8_, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(bytes.data()),
                        static_cast<int>(bytes.size()));
        reply.property = property;
      }
    }
  }
  XSendEvent(display, request.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
  XFlush(display);
}

void X11Pasteboard::takeOwnershipLocked() {
  XSetSelectionOwner(owner_->get(), clipboard_, ownerWindow_, CurrentTime);
  XFlush(owner_->get());
  owned_ = XGetSelectionOwner(owner_->get(), clipboard_) == ownerWindow_;
  ++changeCount_;
}

std::int64_t X11Pasteboard::clearContents() {
  std::lock_guard guard(owner_->lock());
  handlePendingLocked();
  takeOwnershipLocked();
  contents_.reset();
  clearedForWrite_ = true;
  return changeCount_;
}

bool X11Pasteboard::setString(std::string_view text) {
  if (text.size() > kMaximumOwnText) return false;
  std::lock_guard guard(owner_->lock());
  handlePendingLocked();
  // A write right after a clear is part of the same change; a write on its own is a change of
  // its own, as other clients see a fresh ownership.
  if (!owned_ || !clearedForWrite_) takeOwnershipLocked();
  clearedForWrite_ = false;
  if (!owned_) return false;
  contents_ = std::string(text);
  return true;
}

std::int64_t X11Pasteboard::changeCount() {
  std::lock_guard guard(owner_->lock());
  // A round trip first: every owner change the server made before this call is then queued.
  XSync(owner_->get(), False);
  handlePendingLocked();
  std::int64_t count = changeCount_;
  if (const auto asOf = TappedEventTime::current()) {
    for (const Time changed : otherOwnersChangedAt_) {
      if (TappedEventTime::atOrAfter(changed, *asOf)) --count;
    }
  }
  return count;
}

std::optional<std::string> X11Pasteboard::string() {
  {
    std::lock_guard guard(owner_->lock());
    handlePendingLocked();
    if (owned_) return contents_;
  }
  std::lock_guard guard(reader_->lock());
  Display* display = reader_->get();
  XDeleteProperty(display, readerWindow_, property_);
  XConvertSelection(display, clipboard_, utf8_, property_, readerWindow_, CurrentTime);
  XFlush(display);
  const auto deadline = std::chrono::steady_clock::now() + kReadTimeout;
  XEvent event;
  for (;;) {
    if (XCheckTypedWindowEvent(display, readerWindow_, SelectionNotify, &event)) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    pollfd fd{ConnectionNumber(display), POLLIN, 0};
    ::poll(&fd, 1, static_cast<int>(left.count()));
  }
  if (event.xselection.property == None) return std::nullopt;
  Atom type = None;
  int format = 0;
  unsigned long count = 0, remaining = 0;
  unsigned char* data = nullptr;
  const int status = XGetWindowProperty(display, readerWindow_, property_, 0, kMaximumReadBytes / 4,
                                        True, AnyPropertyType, &type, &format, &count, &remaining,
                                        &data);
  std::optional<std::string> text;
  if (status == Success && data != nullptr && format == 8 && type != incr_ && remaining == 0) {
    text = repairUtf8(std::string_view(reinterpret_cast<const char*>(data), count));
  }
  if (data != nullptr) XFree(data);
  return text;
}

}  // namespace orvix::platform::linux_desktop
