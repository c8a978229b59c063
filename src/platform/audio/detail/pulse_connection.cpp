#include "platform/audio/detail/pulse_connection.hpp"

#include <new>

namespace platform::detail {

PulseConnection::PulseConnection(const char* clientName) : clientName_(clientName) {
    loop_ = pa_threaded_mainloop_new();
    if (!loop_) throw std::bad_alloc();
    pa_threaded_mainloop_set_name(loop_, "kestro-pulse");
    running_ = pa_threaded_mainloop_start(loop_) >= 0;
}

PulseConnection::~PulseConnection() {
    shutDown();
    dropContext();
    pa_threaded_mainloop_free(loop_);
}

void PulseConnection::shutDown() {
    if (!running_) return;
    {
        Lock lock(*this);
        if (context_) {
            pa_context_set_state_callback(context_, nullptr, nullptr);
            pa_context_disconnect(context_);
        }
        signal();  // a waiter finds the connection gone, rather than waiting for a loop that stops
    }
    pa_threaded_mainloop_stop(loop_);
    running_ = false;
}

void PulseConnection::dropContext() {
    wasReady_ = false;
    if (!context_) return;
    pa_context_set_state_callback(context_, nullptr, nullptr);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    context_ = nullptr;
}

void PulseConnection::onState() {
    signal();
    if (!wasReady_ || PA_CONTEXT_IS_GOOD(pa_context_get_state(context_))) return;
    wasReady_ = false;
    if (lost_) lost_();
}

bool PulseConnection::connect(std::string& error, pa_usec_t timeout) {
    if (ready()) return true;
    if (!running_) {
        error = "the PulseAudio main loop is not running";
        return false;
    }
    dropContext();
    context_ = pa_context_new(api(), clientName_.c_str());
    if (!context_) {
        error = "no PulseAudio context";
        return false;
    }
    pa_context_set_state_callback(
        context_, [](pa_context*, void* user) { static_cast<PulseConnection*>(user)->onState(); }, this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        error = pa_strerror(pa_context_errno(context_));
        dropContext();
        return false;
    }
    timedOut_ = false;
    pa_time_event* timer = pa_context_rttime_new(
        context_, pa_rtclock_now() + timeout,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* user) {
            auto* connection = static_cast<PulseConnection*>(user);
            connection->timedOut_ = true;
            connection->signal();
        },
        this);
    for (;;) {
        auto state = pa_context_get_state(context_);
        if (state == PA_CONTEXT_READY) break;
        if (!PA_CONTEXT_IS_GOOD(state)) {
            int code = pa_context_errno(context_);
            error = pa_strerror(code ? code : PA_ERR_CONNECTIONREFUSED);
            break;
        }
        if (timedOut_) {
            error = "the PulseAudio server did not answer";
            break;
        }
        wait();
    }
    if (timer) api()->time_free(timer);
    if (!error.empty()) {
        dropContext();
        return false;
    }
    wasReady_ = true;
    return true;
}

bool PulseConnection::ready() const { return context_ && pa_context_get_state(context_) == PA_CONTEXT_READY; }

bool PulseConnection::await(pa_operation* operation) {
    if (!operation) return false;
    while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING && ready()) wait();
    bool done = pa_operation_get_state(operation) == PA_OPERATION_DONE;
    if (!done) pa_operation_cancel(operation);
    pa_operation_unref(operation);
    return done;
}

}  // namespace platform::detail
