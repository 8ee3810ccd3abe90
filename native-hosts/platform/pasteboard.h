#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvix::platform {

// The general pasteboard (NSPasteboard.generalPasteboard), plain-text type only.
//
// Notes for implementers:
// - The change count goes up with every change of ownership of the pasteboard, by this process
//   or any other; the host compares counts to tell whether someone wrote in between.
// - May be called from any thread (command loop and quick-add queue).
class Pasteboard {
 public:
  virtual ~Pasteboard() = default;

  // Empties the pasteboard and takes ownership; answers the new change count.
  virtual std::int64_t clearContents() = 0;
  // Puts text for the plain-string type; false when the pasteboard refused it.
  virtual bool setString(std::string_view text) = 0;
  // The plain-string contents, absent when there are none.
  virtual std::optional<std::string> string() = 0;
  virtual std::int64_t changeCount() = 0;
};

}  // namespace orvix::platform
