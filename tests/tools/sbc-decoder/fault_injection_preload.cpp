// Preloaded into the real program (LD_PRELOAD) to produce two failures no ordinary input can:
// ORVIX_TEST_FAULT=sbc-init makes the codec refuse to initialise, as it does when memory runs
// out; ORVIX_TEST_FAULT=input-error-at-end makes standard input report a read error once it has
// reached its end, as a stream does after a failed read that was later followed by the end.
#include <dlfcn.h>
#include <sbc/sbc.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool faultIs(const char* name) {
  const char* fault = std::getenv("ORVIX_TEST_FAULT");
  return fault != nullptr && std::strcmp(fault, name) == 0;
}

template <typename Function>
Function next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int sbc_init(sbc_t* sbc, unsigned long flags) {
  if (faultIs("sbc-init")) return -ENOMEM;
  return next<int (*)(sbc_t*, unsigned long)>("sbc_init")(sbc, flags);
}

__attribute__((visibility("default"))) int ferror(FILE* stream) noexcept {
  if (faultIs("input-error-at-end") && stream == stdin && std::feof(stream)) return 1;
  return next<int (*)(FILE*)>("ferror")(stream);
}

}  // extern "C"
