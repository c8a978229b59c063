#include "platform/audio/detail/pulse_connection.hpp"

namespace platform::detail {

namespace {
constexpr pa_usec_t connectTimeout = 5 * PA_USEC_PER_SEC;
}

std::unique_ptr<PulseConnection> PulseConnection::open(const char* clientName, std::string& error) {
    std::unique_ptr<PulseConnection> connection(new PulseConnection());
    connection->loop_ = pa_threaded_mainloop_new();
    if (!connection->loop_) {
        error = "no PulseAudio main loop";
        return nullptr;
    }
    pa_threaded_mainloop_set_name(connection->loop_, "kestro-pulse");
    connection->context_ = pa_context_new(pa_threaded_mainloop_get_api(connection->loop_), clientName);
    if (!connection->context_) {
        error = "no PulseAudio context";
        return nullptr;
    }
    auto* self = connection.get();
    pa_context_set_state_callback(
        connection->context_, [](pa_context*, void* user) { static_cast<PulseConnection*>(user)->signal(); }, self);
    if (pa_context_connect(connection->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        error = pa_strerror(pa_context_errno(connection->context_));
        return nullptr;
    }
    if (pa_threaded_mainloop_start(connection->loop_) < 0) {
        error = "the PulseAudio main loop did not start";
        return nullptr;
    }

    Lock lock(*connection);
    pa_time_event* timer = pa_context_rttime_new(
        connection->context_, pa_rtclock_now() + connectTimeout,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* user) {
            auto* connection = static_cast<PulseConnection*>(user);
            connection->timedOut_ = true;
            connection->signal();
        },
        self);
    for (;;) {
        auto state = pa_context_get_state(connection->context_);
        if (state == PA_CONTEXT_READY) break;
        if (!PA_CONTEXT_IS_GOOD(state)) {
            error = connection->lastError();
            break;
        }
        if (connection->timedOut_) {
            error = "the PulseAudio server did not answer";
            break;
        }
        pa_threaded_mainloop_wait(connection->loop_);
    }
    if (timer) pa_threaded_mainloop_get_api(connection->loop_)->time_free(timer);
    if (!error.empty()) return nullptr;
    return connection;
}

PulseConnection::~PulseConnection() {
    if (context_) {
        {
            Lock lock(*this);
            pa_context_set_state_callback(context_, nullptr, nullptr);
            pa_context_disconnect(context_);
        }
    }
    if (loop_) pa_threaded_mainloop_stop(loop_);
    if (context_) pa_context_unref(context_);
    if (loop_) pa_threaded_mainloop_free(loop_);
}

bool PulseConnection::ready() const { return context_ && pa_context_get_state(context_) == PA_CONTEXT_READY; }

std::string PulseConnection::lastError() const {
    int code = context_ ? pa_context_errno(context_) : PA_ERR_UNKNOWN;
    return pa_strerror(code ? code : PA_ERR_CONNECTIONREFUSED);
}

bool PulseConnection::await(pa_operation* operation) {
    if (!operation) return false;
    while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING && ready()) pa_threaded_mainloop_wait(loop_);
    bool done = pa_operation_get_state(operation) == PA_OPERATION_DONE;
    if (!done) pa_operation_cancel(operation);
    pa_operation_unref(operation);
    return done;
}

}  // namespace platform::detail
