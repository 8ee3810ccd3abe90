#include "common/time/current_thread_name.h"

#include <pthread.h>

namespace orvix::detail {

// The kernel keeps at most 15 characters and refuses a longer name outright, so it is cut first.
void setCurrentThreadName(const std::string& name) {
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

}  // namespace orvix::detail
