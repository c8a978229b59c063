#include "realtime/transport/websocket_connection.hpp"

#include <boost/asio/defer.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>
#include <utility>

namespace realtime::detail {

using boost::system::error_code;
using boost::system::system_error;

namespace {

constexpr std::uint16_t abnormalClosure = 1006;

std::string silenceText(std::chrono::milliseconds silence) {
    const auto tenths = (silence.count() + 50) / 100;
    return "Nothing was heard from the realtime service for " + std::to_string(tenths / 10) +
           (tenths % 10 != 0 ? "." + std::to_string(tenths % 10) : std::string()) + " s: the connection is lost";
}

}  // namespace

ConnectionSilentError::ConnectionSilentError(std::chrono::milliseconds silence)
    : std::runtime_error(silenceText(silence)) {}

WebSocketConnection::WebSocketConnection(asio::any_io_executor executor, Liveness liveness)
    : strand_(std::move(executor)), closeLimit_(strand_), liveness_(liveness), watch_(strand_) {
    ++live;
}

WebSocketConnection::~WebSocketConnection() { --live; }

SendDone WebSocketConnection::enqueue(std::string text) {
    auto [done, continuation] = SendDone::make();
    {
        std::lock_guard lock(queueMutex_);
        queue_.push_back(Outgoing{std::move(text), std::move(continuation)});
    }
    // Deferred: a sender on a thread of the shared pool (the microphone's sender, the
    // conversation's sends) has the write started on its own thread once its current step
    // ends, rather than waking another thread of the pool for it.
    asio::defer(strand_, [self = shared_from_this()] { self->pump(); });
    return done;
}

void WebSocketConnection::close(std::uint16_t code) {
    asio::post(strand_, [self = shared_from_this(), code] { self->startClosing(code); });
}

void WebSocketConnection::opened() {
    if (state_ == State::connecting) {
        state_ = State::open;
        heard();
        watch();
    }
    pump();
}

void WebSocketConnection::openFailed(std::exception_ptr error) {
    openError_ = std::move(error);
    state_ = State::closed;
    pump();
}

void WebSocketConnection::receivedClose(std::uint16_t code) {
    closeCode_ = code;
    if (state_ != State::closing) state_ = State::closed;
}

void WebSocketConnection::reading(bool pending) {
    // A read starts right after the last message was handled: the silence counts from here.
    if (pending) heard();
    readPending_ = pending;
}

void WebSocketConnection::startClosing(std::uint16_t code) {
    if (closeRequested_) return;
    closeRequested_ = code;
    if (state_ == State::connecting || state_ == State::closed) {
        // Nothing to say goodbye on: a connection still opening, or one that already failed.
        state_ = State::closed;
        abandon(true);
    } else {
        closeLimit_.expires_after(closeHandshakeLimit);
        closeLimit_.async_wait([weak = weak_from_this()](error_code ec) {
            auto self = weak.lock();
            if (ec || !self || self->state_ == State::closed) return;
            self->state_ = State::closed;
            self->abandon(true);  // ends the stalled write or handshake, whose completion pumps
        });
    }
    pump();
}

std::deque<WebSocketConnection::Outgoing> WebSocketConnection::takeQueue() {
    std::lock_guard lock(queueMutex_);
    return std::exchange(queue_, {});
}

void WebSocketConnection::pump() {
    if (closeRequested_ || state_ == State::closed) {
        // Nothing queued now will be written: its senders hear so at once, even while the
        // last write or the closing handshake is still under way.
        auto error = openError_ ? openError_
                     : closeRequested_ ? std::make_exception_ptr(system_error(asio::error::operation_aborted))
                                       : std::make_exception_ptr(system_error(asio::error::not_connected));
        for (auto& item : takeQueue()) item.done.fail(error);
        if (writing_ || pinging_) return;
        if (closeRequested_ && state_ == State::open) {
            state_ = State::closing;
            writing_ = true;
            const auto code = *closeRequested_;
            writeClose(code, [self = shared_from_this(), code](error_code ec) {
                self->writing_ = false;
                self->closeCode_ = code;
                self->state_ = State::closed;
                self->closeLimit_.cancel();
                self->abandon(static_cast<bool>(ec));
                self->pump();  // what was queued meanwhile
            });
        }
        return;
    }
    if (writing_) return;
    if (state_ != State::open) return;
    std::optional<Outgoing> item;
    {
        std::lock_guard lock(queueMutex_);
        if (queue_.empty()) return;
        item.emplace(std::move(queue_.front()));
        queue_.pop_front();
    }
    writing_ = true;
    auto message = std::make_shared<Outgoing>(std::move(*item));
    write(message->text, [self = shared_from_this(), message](error_code ec) {
        self->writing_ = false;
        if (ec) {
            message->done.fail(system_error(ec));
        } else {
            message->done.yield({});
        }
        self->pump();
    });
}

void WebSocketConnection::watch() {
    // Often enough to ping in time; a watch woken much later than this was held up.
    const auto period = std::clamp<std::chrono::steady_clock::duration>(liveness_.pingAfter / 2,
                                                                         std::chrono::milliseconds(20),
                                                                         std::chrono::seconds(1));
    watchDue_ = std::chrono::steady_clock::now() + period;
    watch_.expires_at(watchDue_);
    watch_.async_wait([weak = weak_from_this()](error_code ec) {
        auto self = weak.lock();
        if (ec || !self) return;
        self->checkLiveness();
    });
}

void WebSocketConnection::checkLiveness() {
    if (state_ != State::open || closeRequested_) return;
    const auto now = std::chrono::steady_clock::now();
    // The process was stopped or starved: the silence is ours, not the service's. Ask it at once
    // whether it is still there, and give it a whole limit to answer.
    const bool heldUp = now - watchDue_ > liveness_.silenceLimit / 4;
    if (heldUp) heard();
    // The consumer is behind and nothing is being read: the service waits on us.
    if (!readPending_) heard();
    const auto silence = now - lastHeard_;
    if (silence >= liveness_.silenceLimit) {
        silenceError_ = std::make_exception_ptr(ConnectionSilentError(liveness_.silenceLimit));
        closeCode_ = abnormalClosure;
        state_ = State::closed;
        abandon(true);  // the pending receive fails, and reports the silence
        pump();
        return;
    }
    if ((heldUp || (silence >= liveness_.pingAfter && now - lastPing_ >= liveness_.pingAfter)) && !pinging_) {
        pinging_ = true;
        lastPing_ = now;
        writePing([self = shared_from_this()](error_code) {
            // A failed ping needs nothing of its own: the pending receive fails as well.
            self->pinging_ = false;
            self->pump();
        });
    }
    watch();
}

}  // namespace realtime::detail
