#include "app/graceful_exit.hpp"

#include <signal.h>

#include <atomic>

#include <boost/asio/post.hpp>

namespace kestro {

namespace asio = boost::asio;

namespace {

constexpr std::chrono::milliseconds lookAgain{10};

constexpr int watchedSignals[] = {SIGTERM, SIGINT, SIGHUP};
// Set by the handler holdSignalsUntilWatched() installs; lock-free, so safe in a handler.
std::atomic<bool> signalHeld{false};

}  // namespace

GracefulExit::GracefulExit(Parts parts) : parts_(std::move(parts)) {}

GracefulExit::~GracefulExit() {
    *alive_ = false;
    if (signals_) {
        boost::system::error_code ignored;
        signals_->cancel(ignored);
    }
}

void GracefulExit::request() {
    if (requested_) return;
    requested_ = true;
    task_ = platform::spawnTask(parts_.main, endCall(this, alive_));
}

asio::awaitable<void> GracefulExit::endCall(GracefulExit* self, std::shared_ptr<bool> alive) {
    auto& parts = self->parts_;
    // Posts the transcript (or keeps it) and lets the conversation go, which closes its connection.
    parts.sessionManager->endSession();
    const auto deadline = platform::ContinuousClock::now() + parts.bound;
    auto busy = [&] {
        return parts.sessionManager->isSendingTranscript.get() ||
               (parts.openConnections && parts.openConnections() > 0);
    };
    while (busy() && platform::ContinuousClock::now() < deadline) {
        try {
            co_await platform::sleepFor(parts.timers, lookAgain);
        } catch (const boost::system::system_error&) {
            co_return;  // ended with the application
        }
        if (!*alive) co_return;
    }
    // Past the bound the post may never finish: the transcript waits in the outbox instead.
    if (parts.sessionManager->isSendingTranscript.get()) parts.transcripts->keepUnfinishedUpload();
    self->finished_ = true;
    if (parts.done) parts.done();
}

void GracefulExit::holdSignalsUntilWatched() {
    struct sigaction action {};
    action.sa_handler = [](int) { signalHeld.store(true); };
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : watchedSignals) ::sigaction(signal, &action, nullptr);
}

void GracefulExit::watchSignals(asio::any_io_executor watcher) {
    signals_.emplace(std::move(watcher), SIGTERM, SIGINT, SIGHUP);
    // The set's own handler is in place: a signal noted before it came is handled now, and a later
    // one by the set.
    if (signalHeld.exchange(false)) {
        asio::post(parts_.main, [this, alive = alive_] {
            if (*alive) request();
        });
    }
    watchNextSignal();
}

void GracefulExit::watchNextSignal() {
    // The handler runs on the watch's executor and only posts: the set is used on the main
    // executor alone. A signal arriving before the watch is renewed is queued by the set.
    signals_->async_wait([this, alive = alive_, main = parts_.main](boost::system::error_code error, int) {
        if (error) return;  // cancelled: the watch has ended
        asio::post(main, [this, alive] {
            if (!*alive) return;
            request();
            watchNextSignal();
        });
    });
}

}  // namespace kestro
