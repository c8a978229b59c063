// GLib's library constructor keeps one 16 KiB block for the life of the process; it is GLib's,
// allocated before main, and never freed by design.
extern "C" const char* __lsan_default_suppressions() { return "leak:libglib-2.0.so\n"; }
