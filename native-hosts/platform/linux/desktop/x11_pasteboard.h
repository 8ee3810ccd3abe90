#pragma once

#include <X11/Xlib.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/desktop/clipboard_change_times.h"
#include "platform/linux/desktop/x11_display.h"
#include "platform/pasteboard.h"

namespace orvix::platform::linux_desktop {

// The pasteboard is the X CLIPBOARD selection, owned and read as ICCCM asks.
//
// Where the mapping is not one to one:
// - X keeps no copy of the text: the owner serves every paste itself. Setting text makes this
//   process the owner, with a server time taken for the purpose (never CurrentTime); a thread of
//   its own answers requests (TARGETS, TIMESTAMP, MULTIPLE, UTF8_STRING, text/plain;
//   charset=utf-8, TEXT, and STRING in Latin-1) until another client takes the selection.
//   Requests stamped before that ownership time are refused. Text larger than the server's core
//   request limit (at most 256 KiB) goes out in increments (INCR), to at most 8 requestors at a
//   time, each dropped when it lets 5 s pass without taking the next piece.
// - The text would be gone when this process ends: when the pasteboard is destroyed while it
//   still owns the CLIPBOARD and a clipboard manager owns CLIPBOARD_MANAGER, it asks the manager
//   to save the text (SAVE_TARGETS) and serves the manager's requests until the manager answers,
//   for at most one second.
// - The change count counts changes of owner that XFixes reports, this process's own counted
//   when they are made, so a count read right after setting text is already current. Read
//   from a tapped event's callback, the count leaves out other owners' changes made at or after
//   the event's server time (tapped_event_time.h): the copy the event asked for is not yet in
//   it; but none made before a change of this process's own at or after that time, which
//   leaves the event no copy of its own to see (clipboard_change_times.h). A clear followed by
//   a write is one change; a write on its own takes the selection afresh and is one.
// - Reading another owner's text asks for UTF8_STRING, then text/plain;charset=utf-8, then
//   STRING (Latin-1, turned into UTF-8), each next one when the owner refuses the one before, and
//   waits at most one second for all of it, increments (INCR) included; text over 4 MiB is not
//   read. Each request has a property of its own and a server time, so an answer that comes after
//   its read gave up is recognised and thrown away, never taken for a later read's answer. Text
//   this process owns (up to 16 MiB) is answered from memory.
class X11Pasteboard final : public Pasteboard {
 public:
  // Null when the server lacks XFixes or a display is null.
  static std::unique_ptr<X11Pasteboard> create(std::unique_ptr<X11Display> owner,
                                               std::unique_ptr<X11Display> reader);
  ~X11Pasteboard() override;

  std::int64_t clearContents() override;
  bool setString(std::string_view text) override;
  std::optional<std::string> string() override;
  std::int64_t changeCount() override;

  // For terminals, where the clipboard shortcuts are not the usual ones (terminal_windows.h).
  // Puts the text of the PRIMARY selection (what the user last selected) on the clipboard, as
  // a copy command would: false when there is none.
  bool copyPrimaryToClipboard();
  // Offers the clipboard's text as the PRIMARY selection too, while this process owns the
  // clipboard: false when it does not.
  bool offerClipboardAsPrimary();

 private:
  using Clock = std::chrono::steady_clock;

  // Text going out in increments to one requestor's property.
  struct Transfer {
    Window requestor;
    Atom property;
    Atom type;
    std::shared_ptr<const std::string> bytes;
    std::size_t sent = 0;
    Clock::time_point deadline;
  };

  // What became of one conversion request of a read.
  enum class ReadOutcome { text, refused, failed };

  X11Pasteboard(std::unique_ptr<X11Display> owner, std::unique_ptr<X11Display> reader,
                int fixesEventBase, int wake);
  void serve();
  void handOverToClipboardManager();

  // These take the owner display's lock first.
  void handlePendingLocked();
  void answerRequestLocked(const XSelectionRequestEvent& request);
  bool convertLocked(Window requestor, Atom target, Atom property);
  bool answerMultipleLocked(Window requestor, Atom property);
  bool startTransferLocked(Window requestor, Atom property, Atom type,
                           std::shared_ptr<const std::string> bytes);
  void continueTransferLocked(const XPropertyEvent& event);
  void dropTransfersLocked(Clock::time_point now);
  void forgetRequestorLocked(Window requestor);
  int msUntilNextDeadlineLocked(Clock::time_point now, std::optional<Clock::time_point> also);
  // The selection taken with a fresh server time.
  struct Claim {
    Time at = CurrentTime;  // CurrentTime when the server did not tell its time
    bool taken = false;     // false when another client kept it
  };
  Claim claimLocked(Atom selection);
  void takeOwnershipLocked();
  std::size_t pieceBytesLocked();

  // These take the reader display's lock first.
  std::optional<std::string> read(Atom selection);
  ReadOutcome awaitAnswerLocked(Atom selection, Atom target, Atom property, Time requested,
                                Clock::time_point deadline, std::string& text);
  Atom takeReadPropertyLocked();
  // An answer or a piece on `stale` that no read waits for any more: deleted, and the property
  // is left alone for a while when an owner may still be sending pieces to it.
  void dropStaleLocked(Atom stale, Atom current);
  void markBusyLocked(Atom property, bool busy);

  std::unique_ptr<X11Display> owner_;
  std::unique_ptr<X11Display> reader_;
  Window ownerWindow_ = None;
  Window readerWindow_ = None;
  int fixesEventBase_;
  int wake_;
  std::atomic<bool> stopping_{false};
  Atom clipboard_, utf8_, targets_, text_, plain_, string_, incr_, timestamp_, multiple_,
      clipboardManager_, saveTargets_, ownerTime_, saveProperty_, readerTime_;

  // Under the owner display's lock.
  bool owned_ = false;
  Time ownedAt_ = CurrentTime;
  // PRIMARY is offered only with the CLIPBOARD's text, and only while that is owned.
  bool primaryOwned_ = false;
  Time primaryOwnedAt_ = CurrentTime;
  // Shared with the transfers under way, which keep sending what was asked for.
  std::shared_ptr<const std::string> contents_;
  std::shared_ptr<const std::string> latin1Contents_;  // made on the first request for STRING
  std::int64_t changeCount_ = 0;
  ClipboardChangeTimes changedAt_;
  bool clearedForWrite_ = false;
  std::vector<Transfer> transfers_;
  bool managerAnswered_ = false;

  // Under the reader display's lock: the properties reads take in turn.
  static constexpr std::size_t kReadProperties = 16;
  std::array<Atom, kReadProperties> readProperties_{};
  std::array<Clock::time_point, kReadProperties> readPropertyBusyUntil_{};
  std::size_t nextReadProperty_ = 0;

  std::thread server_;
};

}  // namespace orvix::platform::linux_desktop
