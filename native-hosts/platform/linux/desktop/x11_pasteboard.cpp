#include "platform/linux/desktop/x11_pasteboard.h"

#include <X11/Xatom.h>
#include <X11/extensions/Xfixes.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

#include "common/utf16.h"
#include "common/utf8_repair.h"
#include "platform/linux/desktop/tapped_event_time.h"
#include "platform/linux/desktop/x11_server_time.h"

namespace orvix::platform::linux_desktop {

namespace {

constexpr std::size_t kMaximumOwnText = 16u << 20;
constexpr std::size_t kMaximumReadBytes = 4u << 20;
constexpr auto kReadTimeout = std::chrono::seconds(1);
// Pieces of an increment transfer, and the largest text sent in one piece: what GTK and Qt use.
constexpr std::size_t kMaximumPiece = 256u << 10;
constexpr std::size_t kMaximumTransfers = 8;
constexpr auto kTransferIdle = std::chrono::seconds(5);
constexpr auto kManagerWait = std::chrono::seconds(1);
// A property a given-up read may still receive pieces on is not reused for this long.
constexpr auto kStaleQuiet = std::chrono::seconds(5);
constexpr std::size_t kMaximumMultiplePairs = 64;

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

std::string latin1ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const char byte : bytes) {
    const auto code = static_cast<unsigned char>(byte);
    if (code < 0x80) {
      out.push_back(byte);
    } else {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return out;
}

// One property read, deleted once read whole.
struct PropertyValue {
  Atom type = None;
  int format = 0;
  std::string bytes;                 // format 8
  std::vector<unsigned long> items;  // format 32
  unsigned long remaining = 0;       // bytes past the limit, left unread
};

PropertyValue takeProperty(Display* display, Window window, Atom property,
                           std::size_t maximumBytes) {
  PropertyValue value;
  unsigned long count = 0;
  unsigned char* data = nullptr;
  const long longs = static_cast<long>((maximumBytes + 3) / 4);
  const int status =
      XGetWindowProperty(display, window, property, 0, longs, True, AnyPropertyType, &value.type,
                         &value.format, &count, &value.remaining, &data);
  if (status != Success) value.type = None;
  if (data != nullptr && value.type != None) {
    if (value.format == 8) {
      value.bytes.assign(reinterpret_cast<const char*>(data), count);
    } else if (value.format == 32) {
      // Xlib hands 32-bit items back as longs, whatever the width of long.
      const auto* items = reinterpret_cast<const unsigned long*>(data);
      value.items.assign(items, items + count);
    }
  }
  if (data != nullptr) XFree(data);
  // Xlib deletes only a property read to its end.
  if (value.remaining > 0) XDeleteProperty(display, window, property);
  return value;
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
    : owner_(std::move(owner)),
      reader_(std::move(reader)),
      fixesEventBase_(fixesEventBase),
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
  timestamp_ = owner_->atom("TIMESTAMP");
  multiple_ = owner_->atom("MULTIPLE");
  clipboardManager_ = owner_->atom("CLIPBOARD_MANAGER");
  saveTargets_ = owner_->atom("SAVE_TARGETS");
  ownerTime_ = owner_->atom("ORVIX_PASTEBOARD_TIME");
  saveProperty_ = owner_->atom("ORVIX_PASTEBOARD_SAVE");
  readerTime_ = reader_->atom("ORVIX_PASTEBOARD_TIME");
  for (std::size_t index = 0; index < kReadProperties; ++index) {
    readProperties_[index] = reader_->atom(("ORVIX_PASTEBOARD_" + std::to_string(index)).c_str());
  }
  XSelectInput(owner_->get(), ownerWindow_, PropertyChangeMask);
  XSelectInput(reader_->get(), readerWindow_, PropertyChangeMask);
  XFixesSelectSelectionInput(owner_->get(), ownerWindow_, clipboard_,
                             XFixesSetSelectionOwnerNotifyMask |
                                 XFixesSelectionWindowDestroyNotifyMask |
                                 XFixesSelectionClientCloseNotifyMask);
  XFlush(owner_->get());
  XFlush(reader_->get());
  server_ = std::thread([this] { serve(); });
}

X11Pasteboard::~X11Pasteboard() {
  stopping_ = true;
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = ::write(wake_, &one, sizeof(one));
  server_.join();
  handOverToClipboardManager();
  ::close(wake_);
}

void X11Pasteboard::serve() {
  for (;;) {
    int timeout = -1;
    {
      std::lock_guard guard(owner_->lock());
      handlePendingLocked();
      const auto now = Clock::now();
      dropTransfersLocked(now);
      timeout = msUntilNextDeadlineLocked(now, std::nullopt);
    }
    // A lost connection stays readable for good: there is nothing more to serve on it.
    if (owner_->lost()) return;
    pollfd fds[2] = {{ConnectionNumber(owner_->get()), POLLIN, 0}, {wake_, POLLIN, 0}};
    ::poll(fds, 2, timeout);
    if (stopping_) return;
  }
}

// Freedesktop's clipboard manager convention: the manager copies the text and takes the
// CLIPBOARD over, then answers the SAVE_TARGETS request; until then this process serves it.
void X11Pasteboard::handOverToClipboardManager() {
  std::lock_guard guard(owner_->lock());
  Display* display = owner_->get();
  if (owner_->lost()) return;
  handlePendingLocked();
  if (!owned_ || !contents_) return;
  if (XGetSelectionOwner(display, clipboardManager_) == None) return;
  const Atom saved[] = {utf8_, plain_, string_};
  XChangeProperty(display, ownerWindow_, saveProperty_, XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(saved), 3);
  const Time now = serverTime(display, ownerWindow_, ownerTime_);
  managerAnswered_ = false;
  XConvertSelection(display, clipboardManager_, saveTargets_, saveProperty_, ownerWindow_, now);
  XFlush(display);
  const auto deadline = Clock::now() + kManagerWait;
  for (;;) {
    handlePendingLocked();
    if (managerAnswered_) return;
    const auto current = Clock::now();
    if (current >= deadline) return;
    dropTransfersLocked(current);
    pollfd fd{ConnectionNumber(display), POLLIN, 0};
    ::poll(&fd, 1, msUntilNextDeadlineLocked(current, deadline));
  }
}

void X11Pasteboard::handlePendingLocked() {
  Display* display = owner_->get();
  while (XPending(display) > 0) {
    XEvent event;
    XNextEvent(display, &event);
    if (event.type == SelectionRequest) {
      answerRequestLocked(event.xselectionrequest);
    } else if (event.type == PropertyNotify) {
      if (event.xproperty.window != ownerWindow_) continueTransferLocked(event.xproperty);
    } else if (event.type == SelectionClear && event.xselectionclear.selection == XA_PRIMARY) {
      if (primaryOwned_ && event.xselectionclear.time != CurrentTime &&
          !TappedEventTime::atOrAfter(event.xselectionclear.time, primaryOwnedAt_)) {
        continue;
      }
      primaryOwned_ = false;
    } else if (event.type == SelectionClear && event.xselectionclear.selection == clipboard_) {
      // The time is the new owner's; one from before our latest taking is about an earlier one.
      if (owned_ && event.xselectionclear.time != CurrentTime &&
          !TappedEventTime::atOrAfter(event.xselectionclear.time, ownedAt_)) {
        continue;
      }
      owned_ = false;
      contents_.reset();
      latin1Contents_.reset();
    } else if (event.type == SelectionNotify && event.xselection.requestor == ownerWindow_ &&
               event.xselection.selection == clipboardManager_ &&
               event.xselection.target == saveTargets_) {
      managerAnswered_ = true;
    } else if (event.type == fixesEventBase_ + XFixesSelectionNotify) {
      const auto& notice = reinterpret_cast<const XFixesSelectionNotifyEvent&>(event);
      // Our own changes were counted when they were made.
      if (notice.selection == clipboard_ && notice.owner != ownerWindow_) {
        ++changeCount_;
        changedAt_.record(notice.timestamp, false, Clock::now());
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
  reply.property = None;
  // Clients from before ICCCM 2 leave the property out: the target names it then.
  const Atom property = request.property == None ? request.target : request.property;
  // ICCCM 2.2: a request stamped before this ownership began is not ours to answer.
  const bool primary = request.selection == XA_PRIMARY;
  const Time since = primary ? primaryOwnedAt_ : ownedAt_;
  const bool current = request.time == CurrentTime || TappedEventTime::atOrAfter(request.time, since);
  const bool ours = primary ? primaryOwned_ && owned_ : owned_ && request.selection == clipboard_;
  if (ours && current) {
    if (request.target == multiple_) {
      if (request.property != None && answerMultipleLocked(request.requestor, request.property)) {
        reply.property = request.property;
      }
    } else if (convertLocked(request.requestor, request.target, property)) {
      reply.property = property;
    }
  }
  XSendEvent(display, request.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
  XFlush(display);
}

bool X11Pasteboard::convertLocked(Window requestor, Atom target, Atom property) {
  Display* display = owner_->get();
  if (property == None) return false;
  if (target == targets_) {
    std::vector<Atom> offered = {targets_, timestamp_, multiple_};
    if (contents_) offered.insert(offered.end(), {saveTargets_, utf8_, plain_, text_, string_});
    XChangeProperty(display, requestor, property, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(offered.data()),
                    static_cast<int>(offered.size()));
    return true;
  }
  if (target == timestamp_) {
    const unsigned long taken = ownedAt_;
    XChangeProperty(display, requestor, property, XA_INTEGER, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&taken), 1);
    return true;
  }
  if (!contents_) return false;
  std::shared_ptr<const std::string> bytes = contents_;
  Atom type = utf8_;
  if (target == string_) {
    if (!latin1Contents_) latin1Contents_ = std::make_shared<const std::string>(latin1(*contents_));
    bytes = latin1Contents_;
    type = string_;
  } else if (target == plain_) {
    type = plain_;
  } else if (target != utf8_ && target != text_) {
    return false;
  }
  if (bytes->size() > pieceBytesLocked()) {
    return startTransferLocked(requestor, property, type, std::move(bytes));
  }
  XChangeProperty(display, requestor, property, type, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(bytes->data()),
                  static_cast<int>(bytes->size()));
  return true;
}

// ICCCM 2.6.2: the property holds pairs of target and property; each is converted as if asked
// for alone, and a pair that fails has its target replaced with None.
bool X11Pasteboard::answerMultipleLocked(Window requestor, Atom property) {
  Display* display = owner_->get();
  Atom type = None;
  int format = 0;
  unsigned long count = 0, remaining = 0;
  unsigned char* data = nullptr;
  const int status = XGetWindowProperty(display, requestor, property, 0,
                                        static_cast<long>(2 * kMaximumMultiplePairs), False,
                                        AnyPropertyType, &type, &format, &count, &remaining, &data);
  std::vector<unsigned long> pairs;
  if (status == Success && data != nullptr && format == 32) {
    const auto* items = reinterpret_cast<const unsigned long*>(data);
    pairs.assign(items, items + count);
  }
  if (data != nullptr) XFree(data);
  if (pairs.empty() || pairs.size() % 2 != 0 || remaining != 0) return false;
  for (std::size_t index = 0; index < pairs.size(); index += 2) {
    const Atom target = pairs[index];
    const Atom into = pairs[index + 1];
    if (target == multiple_ || into == property || !convertLocked(requestor, target, into)) {
      pairs[index] = None;
    }
  }
  XChangeProperty(display, requestor, property, type, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(pairs.data()),
                  static_cast<int>(pairs.size()));
  return true;
}

// ICCCM 2.7.2: the property first says INCR and a lower bound of the size; each time the
// requestor deletes it, the next piece goes in, and an empty piece ends the transfer.
bool X11Pasteboard::startTransferLocked(Window requestor, Atom property, Atom type,
                                        std::shared_ptr<const std::string> bytes) {
  Display* display = owner_->get();
  // A requestor that asks again into the same property has given up the earlier transfer.
  std::erase_if(transfers_, [&](const Transfer& transfer) {
    return transfer.requestor == requestor && transfer.property == property;
  });
  if (transfers_.size() >= kMaximumTransfers) {
    forgetRequestorLocked(requestor);
    return false;
  }
  // Listening first: the requestor may delete the property as soon as it is written.
  XSelectInput(display, requestor, PropertyChangeMask);
  const unsigned long size = bytes->size();
  XChangeProperty(display, requestor, property, incr_, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&size), 1);
  transfers_.push_back(
      Transfer{requestor, property, type, std::move(bytes), 0, Clock::now() + kTransferIdle});
  return true;
}

void X11Pasteboard::continueTransferLocked(const XPropertyEvent& event) {
  if (event.state != PropertyDelete) return;
  const auto found = std::find_if(transfers_.begin(), transfers_.end(), [&](const Transfer& t) {
    return t.requestor == event.window && t.property == event.atom;
  });
  if (found == transfers_.end()) return;
  Display* display = owner_->get();
  const std::size_t piece = std::min(pieceBytesLocked(), found->bytes->size() - found->sent);
  XChangeProperty(display, found->requestor, found->property, found->type, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(found->bytes->data() + found->sent),
                  static_cast<int>(piece));
  if (piece == 0) {
    const Window requestor = found->requestor;
    transfers_.erase(found);
    forgetRequestorLocked(requestor);
  } else {
    found->sent += piece;
    found->deadline = Clock::now() + kTransferIdle;
  }
  XFlush(display);
}

void X11Pasteboard::dropTransfersLocked(Clock::time_point now) {
  std::vector<Window> dropped;
  std::erase_if(transfers_, [&](const Transfer& transfer) {
    if (transfer.deadline > now) return false;
    dropped.push_back(transfer.requestor);
    return true;
  });
  for (const Window requestor : dropped) forgetRequestorLocked(requestor);
  if (!dropped.empty()) XFlush(owner_->get());
}

// Stops listening to a requestor's window once no transfer goes to it.
void X11Pasteboard::forgetRequestorLocked(Window requestor) {
  const bool busy = std::any_of(transfers_.begin(), transfers_.end(),
                                [&](const Transfer& t) { return t.requestor == requestor; });
  if (!busy) XSelectInput(owner_->get(), requestor, NoEventMask);
}

int X11Pasteboard::msUntilNextDeadlineLocked(Clock::time_point now,
                                             std::optional<Clock::time_point> also) {
  std::optional<Clock::time_point> next = also;
  for (const Transfer& transfer : transfers_) {
    if (!next || transfer.deadline < *next) next = transfer.deadline;
  }
  if (!next) return -1;
  if (*next <= now) return 0;
  // Rounded up, so that the wake-up is never before the deadline.
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(*next - now).count());
}

std::size_t X11Pasteboard::pieceBytesLocked() {
  // The core limit, which every client's connection has, less room for the request's header.
  const std::size_t limit = static_cast<std::size_t>(XMaxRequestSize(owner_->get())) * 4;
  return std::min(limit, kMaximumPiece) - 1024;
}

X11Pasteboard::Claim X11Pasteboard::claimLocked(Atom selection) {
  Display* display = owner_->get();
  const Time now = serverTime(display, ownerWindow_, ownerTime_);
  // Whatever happened before that time is settled first, so a SelectionClear still queued from
  // an earlier owner change is not taken for the loss of this one.
  handlePendingLocked();
  XSetSelectionOwner(display, selection, ownerWindow_, now);
  return Claim{now, XGetSelectionOwner(display, selection) == ownerWindow_};
}

void X11Pasteboard::takeOwnershipLocked() {
  const Claim claim = claimLocked(clipboard_);
  owned_ = claim.taken;
  if (claim.taken) ownedAt_ = claim.at;
  ++changeCount_;
  changedAt_.record(claim.at == CurrentTime ? std::nullopt : std::optional<Time>(claim.at), true,
                    Clock::now());
}

std::int64_t X11Pasteboard::clearContents() {
  std::lock_guard guard(owner_->lock());
  handlePendingLocked();
  takeOwnershipLocked();
  contents_.reset();
  latin1Contents_.reset();
  clearedForWrite_ = true;
  // Events the round trips queued are handled before the lock goes: the serving thread waits
  // only on the connection, and would not see them.
  handlePendingLocked();
  return changeCount_;
}

bool X11Pasteboard::offerClipboardAsPrimary() {
  std::lock_guard guard(owner_->lock());
  handlePendingLocked();
  if (!owned_ || !contents_) return false;
  const Claim claim = claimLocked(XA_PRIMARY);
  primaryOwned_ = claim.taken;
  if (claim.taken) primaryOwnedAt_ = claim.at;
  handlePendingLocked();
  return primaryOwned_;
}

bool X11Pasteboard::copyPrimaryToClipboard() {
  std::optional<std::string> text;
  {
    std::lock_guard guard(owner_->lock());
    handlePendingLocked();
    if (primaryOwned_ && owned_ && contents_) text = *contents_;
  }
  if (!text) text = read(XA_PRIMARY);
  if (!text || text->empty()) return false;
  clearContents();
  return setString(*text);
}

bool X11Pasteboard::setString(std::string_view text) {
  if (text.size() > kMaximumOwnText) return false;
  std::lock_guard guard(owner_->lock());
  handlePendingLocked();
  // A write right after a clear is part of the same change; a write on its own is a change of
  // its own, as other clients see a fresh ownership.
  if (!owned_ || !clearedForWrite_) takeOwnershipLocked();
  clearedForWrite_ = false;
  const bool taken = owned_;
  if (taken) {
    contents_ = std::make_shared<const std::string>(text);
    latin1Contents_.reset();
  }
  handlePendingLocked();
  return taken;
}

std::int64_t X11Pasteboard::changeCount() {
  std::lock_guard guard(owner_->lock());
  // A round trip first: every owner change the server made before this call is then queued.
  XSync(owner_->get(), False);
  handlePendingLocked();
  const auto asOf = TappedEventTime::current();
  return asOf ? changeCount_ - changedAt_.unseenAsOf(*asOf, Clock::now()) : changeCount_;
}

std::optional<std::string> X11Pasteboard::string() {
  {
    std::lock_guard guard(owner_->lock());
    handlePendingLocked();
    if (owned_) return contents_ ? std::optional<std::string>(*contents_) : std::nullopt;
  }
  return read(clipboard_);
}

std::optional<std::string> X11Pasteboard::read(Atom selection) {
  std::lock_guard guard(reader_->lock());
  Display* display = reader_->get();
  const auto deadline = Clock::now() + kReadTimeout;
  // One server time for the read's requests: with its own property, it tells their answers
  // from late answers to earlier reads.
  const Time requested = serverTime(display, readerWindow_, readerTime_);
  for (const Atom target : {utf8_, plain_, string_}) {
    const Atom property = takeReadPropertyLocked();
    XDeleteProperty(display, readerWindow_, property);
    XConvertSelection(display, selection, target, property, readerWindow_, requested);
    XFlush(display);
    std::string text;
    switch (awaitAnswerLocked(selection, target, property, requested, deadline, text)) {
      case ReadOutcome::text:
        return text;
      case ReadOutcome::refused:
        continue;
      case ReadOutcome::failed:
        return std::nullopt;
    }
  }
  return std::nullopt;
}

X11Pasteboard::ReadOutcome X11Pasteboard::awaitAnswerLocked(Atom selection, Atom target,
                                                            Atom property,
                                                            Time requested,
                                                            Clock::time_point deadline,
                                                            std::string& text) {
  Display* display = reader_->get();
  bool incremental = false;
  Atom pieceType = None;
  const auto decoded = [&](Atom type, std::string_view bytes) {
    text = type == string_ ? latin1ToUtf8(bytes) : repairUtf8(bytes);
    return ReadOutcome::text;
  };
  const auto giveUp = [&] {
    if (incremental) markBusyLocked(property, true);
    return ReadOutcome::failed;
  };
  for (;;) {
    // In order: a piece's PropertyNotify must not be confused with the one that came before
    // the answer.
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == SelectionNotify && event.xselection.requestor == readerWindow_) {
        const XSelectionEvent& notice = event.xselection;
        const bool timely =
            notice.time == requested || (notice.time == CurrentTime && notice.property == property);
        const bool answer = !incremental && notice.selection == selection &&
                            notice.target == target && timely &&
                            (notice.property == property || notice.property == None);
        if (!answer) {
          dropStaleLocked(notice.property, property);
          continue;
        }
        if (notice.property == None) return ReadOutcome::refused;
        const PropertyValue value =
            takeProperty(display, readerWindow_, property, kMaximumReadBytes);
        if (value.type == incr_) {
          // Reading deleted the property, which asks for the first piece.
          incremental = true;
          // The value is a lower bound of the size; some owners (xclip) leave it out.
          if (!value.items.empty() && value.items.front() > kMaximumReadBytes) return giveUp();
          text.clear();
          continue;
        }
        if (value.type == None || value.format != 8) return ReadOutcome::refused;
        if (value.remaining > 0) return ReadOutcome::failed;
        return decoded(value.type, value.bytes);
      }
      if (event.type == PropertyNotify && event.xproperty.window == readerWindow_ &&
          event.xproperty.state == PropertyNewValue) {
        const Atom changed = event.xproperty.atom;
        if (changed != property) {
          dropStaleLocked(changed, property);
          continue;
        }
        if (!incremental) continue;  // the answer's own value, announced before the answer
        const PropertyValue piece =
            takeProperty(display, readerWindow_, property, kMaximumReadBytes - text.size() + 1);
        if (piece.type == None) continue;  // already taken with an earlier piece
        if (piece.format != 8 || piece.remaining > 0 ||
            text.size() + piece.bytes.size() > kMaximumReadBytes) {
          return giveUp();
        }
        if (piece.bytes.empty()) return decoded(pieceType == None ? piece.type : pieceType, text);
        if (pieceType == None) pieceType = piece.type;
        text += piece.bytes;
      }
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return giveUp();
    pollfd fd{ConnectionNumber(display), POLLIN, 0};
    ::poll(&fd, 1, static_cast<int>(left));
  }
}

Atom X11Pasteboard::takeReadPropertyLocked() {
  const auto now = Clock::now();
  for (std::size_t tried = 0; tried < kReadProperties; ++tried) {
    const std::size_t index = nextReadProperty_++ % kReadProperties;
    if (readPropertyBusyUntil_[index] <= now) return readProperties_[index];
  }
  return readProperties_[nextReadProperty_++ % kReadProperties];
}

void X11Pasteboard::markBusyLocked(Atom property, bool busy) {
  const auto found = std::find(readProperties_.begin(), readProperties_.end(), property);
  if (found == readProperties_.end()) return;
  readPropertyBusyUntil_[static_cast<std::size_t>(std::distance(readProperties_.begin(), found))] =
      busy ? Clock::now() + kStaleQuiet : Clock::time_point{};
}

void X11Pasteboard::dropStaleLocked(Atom stale, Atom current) {
  if (stale == None || stale == current) return;
  if (std::find(readProperties_.begin(), readProperties_.end(), stale) == readProperties_.end()) {
    return;
  }
  Display* display = reader_->get();
  // Only the size: the text itself is of no use any more.
  Atom type = None;
  int format = 0;
  unsigned long count = 0, remaining = 0;
  unsigned char* data = nullptr;
  XGetWindowProperty(display, readerWindow_, stale, 0, 0, False, AnyPropertyType, &type, &format,
                     &count, &remaining, &data);
  if (data != nullptr) XFree(data);
  if (type == None) return;
  // An INCR answer or a piece means more may follow once it is deleted; an empty piece ends it.
  markBusyLocked(stale, type == incr_ || remaining > 0);
  XDeleteProperty(display, readerWindow_, stale);
  XFlush(display);
}

}  // namespace orvix::platform::linux_desktop
