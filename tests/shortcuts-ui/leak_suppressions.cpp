// Read by LeakSanitizer when the tests run under it (and by nothing otherwise): fontconfig, which
// Qt's text rendering on the X display loads, keeps allocations for the life of the process.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
