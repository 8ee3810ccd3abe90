#include "common/time/fail_fast.h"

#include <cstdio>
#include <cstdlib>

namespace orvix {

void failFast(std::string_view message) {
  // Nothing is left to do about a failed write: the process ends either way.
  static_cast<void>(std::fprintf(stderr, "orvix: fatal: %.*s\n", static_cast<int>(message.size()),
                                 message.data()));
  static_cast<void>(std::fflush(stderr));
  std::abort();
}

}  // namespace orvix
