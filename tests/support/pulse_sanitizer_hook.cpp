// For test programs that talk to PulseAudio through libpulse without linking the audio binding
// (which carries the same hook): libpulse is not built for ThreadSanitizer, and its lock-free
// pools look like races inside the library. Reports with frames in the library's common part
// are left out; races in our own code are still reported.
extern "C" const char* __tsan_default_suppressions() { return "race:libpulsecommon\n"; }
