// Read by the sanitizers when the tests run under them (and by nothing otherwise). Qt's text
// rendering on the X display loads fontconfig, which keeps allocations for the life of the
// process. Qt itself (its platform theme talks D-Bus on a thread of its own, through QtCore,
// QtDBus and libdbus) is not built for ThreadSanitizer, whose locking it therefore cannot see.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
extern "C" const char* __tsan_default_suppressions() {
    return "race:libdbus-1.so\ndeadlock:libdbus-1.so\nrace:libQt6DBus.so\nrace:libQt6Core.so\n";
}
