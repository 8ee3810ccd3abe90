#pragma once

#include <string>

namespace orvix::detail {

// Names the calling thread so that debuggers and crash reports show it. How long a name may be
// and which call sets it differ per platform: the implementation is
// platform/<platform>/time/current_thread_name.cpp, chosen by ORVIX_PLATFORM.
void setCurrentThreadName(const std::string& name);

}  // namespace orvix::detail
