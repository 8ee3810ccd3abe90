#pragma once

#include <X11/Xlib.h>

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/linux/desktop/x11_display.h"
#include "platform/pasteboard.h"

namespace orvix::platform::linux_desktop {

// The pasteboard is the X CLIPBOARD selection.
//
// Where the mapping is not one to one:
// - X keeps no copy of the text: the owner serves every paste itself. Setting text makes this
//   process the owner; a thread of its own answers requests (UTF8_STRING, text/plain;
//   charset=utf-8, TEXT, and STRING in Latin-1) until another client takes the selection, and
//   the text is gone when this process ends, unless a clipboard manager copied it.
// - The change count counts changes of owner that XFixes reports, this process's own counted
//   when they are made, so a count read right after setting text is already current. Read
//   from a tapped event's callback, the count leaves out other owners' changes made at or after
//   the event's server time (tapped_event_time.h): the copy the event asked for is not yet in it. A clear
//   followed by a write is one change; a write on its own takes the selection afresh and is one.
// - Reading another owner's text asks for UTF8_STRING and waits at most one second; text over
//   4 MiB, or sent in increments (INCR), is not read. Text this process owns (up to 16 MiB) is
//   answered from memory and served only in one piece, as large as the server's request limit.
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

 private:
  X11Pasteboard(std::unique_ptr<X11Display> owner, std::unique_ptr<X11Display> reader,
                int fixesEventBase, int wake);
  void serve();
  // Both take the owner display's lock first.
  void handlePendingLocked();
  void answerRequestLocked(const XSelectionRequestEvent& request);
  void takeOwnershipLocked();

  std::unique_ptr<X11Display> owner_;
  std::unique_ptr<X11Display> reader_;
  Window ownerWindow_ = None;
  Window readerWindow_ = None;
  int fixesEventBase_;
  int wake_;
  Atom clipboard_, utf8_, targets_, text_, plain_, string_, incr_, property_;

  // Under the owner display's lock.
  bool owned_ = false;
  std::optional<std::string> contents_;
  std::int64_t changeCount_ = 0;
  // Server times of the latest changes by other owners; a tapped event is at most this far behind.
  static constexpr std::size_t kRememberedChanges = 64;
  std::deque<Time> otherOwnersChangedAt_;
  bool clearedForWrite_ = false;

  std::thread server_;
};

}  // namespace orvix::platform::linux_desktop
