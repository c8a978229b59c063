#pragma once
// A client connection to the PulseAudio server on a threaded main loop. The loop's lock guards
// every PulseAudio object and everything the loop's callbacks touch; callbacks run on the loop
// thread with the lock held. The lock is recursive.

#include <pulse/pulseaudio.h>

#include <functional>
#include <string>

namespace platform::detail {

class PulseConnection {
public:
    // Starts the loop thread; connects on the first connect().
    explicit PulseConnection(const char* clientName);
    // Disconnects and joins the loop thread.
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    // The rest is called with the lock held.

    // Connects to the server the environment names (PULSE_SERVER or the user's default), or
    // reconnects after the connection broke, giving the server `timeout` to answer. False with
    // the reason in `error` on failure.
    bool connect(std::string& error, pa_usec_t timeout = 5 * PA_USEC_PER_SEC);
    // Runs on the loop thread, with the lock held, when a connection that was ready breaks (the
    // server went away or dropped us); not when we disconnect ourselves.
    void setLostHandler(std::function<void()> handler) { lost_ = std::move(handler); }
    bool ready() const;
    pa_context* context() const { return context_; }
    pa_mainloop_api* api() const { return pa_threaded_mainloop_get_api(loop_); }
    // Waits for an operation to finish and releases it. False when the connection broke first.
    bool await(pa_operation* operation);
    // Waits for the next signal(). Not on the loop thread.
    void wait() { pa_threaded_mainloop_wait(loop_); }
    // Wakes every waiter (from a callback).
    void signal() { pa_threaded_mainloop_signal(loop_, 0); }
    bool onLoopThread() const { return loop_ && pa_threaded_mainloop_in_thread(loop_); }
    // Ends the loop thread (not from the loop thread); nothing runs on the loop afterwards.
    void shutDown();

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
    void dropContext();
    void onState();

    std::string clientName_;
    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    bool running_ = false;
    bool timedOut_ = false;
    bool wasReady_ = false;
    std::function<void()> lost_;
};

}  // namespace platform::detail
