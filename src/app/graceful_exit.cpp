#include "app/graceful_exit.hpp"

#include <signal.h>

#include <boost/asio/post.hpp>

namespace kestro {

namespace asio = boost::asio;

namespace {

constexpr std::chrono::milliseconds lookAgain{10};

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

void GracefulExit::watchSignals(asio::any_io_executor watcher) {
    signals_.emplace(std::move(watcher), SIGTERM, SIGINT, SIGHUP);
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
