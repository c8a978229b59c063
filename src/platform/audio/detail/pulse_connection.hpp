#pragma once
// One client connection to the PulseAudio server on a threaded main loop. The loop's lock
// guards every PulseAudio object; callbacks run on the loop thread with the lock held.

#include <pulse/pulseaudio.h>

#include <memory>
#include <string>

namespace platform::detail {

class PulseConnection {
public:
    // Connects to the server the environment names (PULSE_SERVER or the user's default); none
    // after a failure, with the reason in `error`.
    static std::unique_ptr<PulseConnection> open(const char* clientName, std::string& error);
    // Disconnects and joins the loop thread.
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    pa_threaded_mainloop* loop() const { return loop_; }
    pa_context* context() const { return context_; }
    bool ready() const;  // lock held
    std::string lastError() const;  // lock held

    // Waits for an operation to finish (lock held) and releases it. False when the connection
    // broke first.
    bool await(pa_operation* operation);
    // Wakes every waiter (from a callback).
    void signal() { pa_threaded_mainloop_signal(loop_, 0); }

    class Lock {
    public:
        explicit Lock(const PulseConnection& connection) : loop_(connection.loop_) { pa_threaded_mainloop_lock(loop_); }
        ~Lock() { pa_threaded_mainloop_unlock(loop_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pa_threaded_mainloop* loop_;
    };

private:
    PulseConnection() = default;

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    bool timedOut_ = false;
};

}  // namespace platform::detail
