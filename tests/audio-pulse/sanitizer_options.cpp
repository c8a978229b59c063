// libpulse is not built with ThreadSanitizer: its lock-free free lists and shared ring buffers
// synchronise through atomics the sanitizer cannot see, so two connections in one process show
// up as races inside the library. Everything of ours that touches PulseAudio objects does so
// under the main loop's lock.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libpulsecommon\n"
           "race:libpulse.so\n";
}
