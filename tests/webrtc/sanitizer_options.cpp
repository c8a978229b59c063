// GLib's library constructor keeps one 16 KiB block for the life of the process; it is GLib's,
// allocated before main, and never freed by design.
extern "C" const char* __lsan_default_suppressions() { return "leak:libglib-2.0.so\n"; }

// GLib, GStreamer and its plugins, and libnice are not built with ThreadSanitizer: GLib's mutexes
// are futexes of its own and its reference counts uninstrumented atomics, so every hand-over
// between their threads (a buffer, a string, a promise) looks like a race to the sanitizer. The
// same holds for the libraries below them (GIO, OpenSSL, NSPR and NSS, libsrtp,
// libpulse, ORC, the echo canceller).
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libglib-2.0.so\n"          // GLib's own allocations and copies
           "called_from_lib:libgobject-2.0.so\n"       // object and signal bookkeeping
           "called_from_lib:libgstreamer-1.0.so\n"     // GStreamer's core
           "called_from_lib:libgstbase-1.0.so\n"       // GStreamer's base classes
           "race:libglib-2.0.so\n"                     // GMutex/GCond are futexes the sanitizer cannot see
           "race:libgobject-2.0.so\n"                  // reference counts on uninstrumented atomics
           "race:libgst\n"                             // GStreamer's libraries and plugins (webrtcbin, SCTP, ...)
           "race:libnice.so\n"                         // libnice's agent thread
           "race:libgio-2.0.so\n"                      // GIO's sockets and worker pool under libnice
           "race:libssl.so.3\n"                        // DTLS of the plugins, on their threads
           "race:libcrypto.so.3\n"                     // OpenSSL's allocations for that DTLS
           "race:libnspr4.so\n"                        // thread set-up of a library the plugins load
           "race:libfreeblpriv3.so\n"                  // NSS's cryptography under that library
           "race:libsrtp2.so\n"                        // SRTP of the media, on the plugins' threads
           "race:libpulsecommon\n"                     // libpulse: atomics of its own (as for audio-pulse)
           "race:libpulse.so\n"
           "race:liborc-0.4.so\n"                      // ORC's opcode tables, filled by the audio plugins
           "race:libwebrtc_audio_processing.so\n"      // the echo canceller's own threads
           "mutex:libgstaudio-1.0.so\n"                // a GMutex released on another thread than its taker
           // libstdc++'s exception_ptr counts its references in uninstrumented code: a failure
           // handed from the runtime's thread to the test's is freed by whichever lets go last.
           "race:std::__exception_ptr::exception_ptr::_M_release\n";
}
