#include "common/time/current_thread_name.h"

#include <pthread.h>

namespace orvix::detail {

// Darwin names only the calling thread and keeps at most 63 characters.
void setCurrentThreadName(const std::string& name) {
  pthread_setname_np(name.substr(0, 63).c_str());
}

}  // namespace orvix::detail
