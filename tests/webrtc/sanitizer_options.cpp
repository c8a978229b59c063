// GLib's library constructor keeps one 16 KiB block for the life of the process; it is GLib's,
// allocated before main, and never freed by design.
extern "C" const char* __lsan_default_suppressions() { return "leak:libglib-2.0.so\n"; }

// GLib, GStreamer and its plugins, and libnice are not built with ThreadSanitizer: GLib's mutexes
// are futexes of its own and its reference counts uninstrumented atomics, so every hand-over
// between their threads (a buffer, a string, a promise) looks like a race to the sanitizer. The
// same holds for the libraries below them (GIO, OpenSSL, NSPR).
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libglib-2.0.so\n"          // GLib's own allocations and copies
           "called_from_lib:libgobject-2.0.so\n"       // object and signal bookkeeping
           "called_from_lib:libgstreamer-1.0.so\n"     // GStreamer's core
           "called_from_lib:libgstbase-1.0.so\n"       // GStreamer's base classes
           "race:libglib-2.0.so\n"                     // GMutex/GCond are futexes the sanitizer cannot see
           "race:libgobject-2.0.so\n"                  // reference counts on uninstrumented atomics
           "race:libgstreamer-1.0.so\n"                // pads, buffers and promises handed over under GMutex
           "race:libgstbase-1.0.so\n"                  // base classes' streaming threads
           "race:libgstwebrtc\n"                       // webrtcbin and its ICE layer
           "race:libnice.so\n"                         // libnice's agent thread
           "race:libgio-2.0.so\n"                      // GIO's sockets and worker pool under libnice
           "race:libssl.so.3\n"                        // DTLS of the plugins, on their threads
           "race:libcrypto.so.3\n"                     // OpenSSL's allocations for that DTLS
           "race:libnspr4.so\n"                        // thread set-up of a library the plugins load
           "race:/usr/lib/x86_64-linux-gnu/gstreamer-1.0/\n";  // the plugins' elements
}
