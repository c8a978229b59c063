#include "realtime/transport/webrtc_shared.hpp"

#include <boost/asio/post.hpp>

#include "platform/runtime/print.hpp"
#include "realtime/model/codec.hpp"
#include "realtime/transport/webrtc_connector.hpp"

namespace realtime::detail {

namespace {

constexpr std::chrono::milliseconds checkInterval{500};

}  // namespace

WebRTCShared::WebRTCShared(ServerEventStream::Continuation continuation, asio::any_io_executor executor)
    : stream(std::move(continuation)), strand_(std::move(executor)), check_(strand_) {}

void WebRTCShared::receive(std::string_view text) {
    try {
        if (auto event = receiver.receive(text)) stream.yield(std::move(*event));
    } catch (...) {
        stream.fail(std::current_exception());
    }
}

void WebRTCShared::lose(std::exception_ptr error) {
    {
        std::lock_guard lock(mutex);
        if (closing || peerGone) return;
        peerGone = true;
        channelOpen = false;
        pending.clear();
        channelChanged.notify_all();
    }
    if (error) {
        stream.fail(error);
    } else {
        stream.finish();
    }
    asio::post(strand_, [self = shared_from_this()] {
        self->check_.cancel();
        self->callHandlerOnce();
    });
}

void WebRTCShared::disconnected(bool now) {
    std::lock_guard lock(mutex);
    if (!now) {
        disconnectedSince.reset();
    } else if (!disconnectedSince) {
        disconnectedSince = Clock::now();
    }
}

void WebRTCShared::startWatch() {
    asio::post(strand_, [self = shared_from_this()] { self->scheduleCheck(); });
}

void WebRTCShared::scheduleCheck() {
    check_.expires_after(checkInterval);
    // The watch does not keep the connector's state alive: teardown ends it.
    check_.async_wait([weak = weak_from_this()](boost::system::error_code error) {
        auto self = weak.lock();
        if (error || !self) return;
        const auto now = Clock::now();
        bool away = false;
        {
            std::lock_guard lock(self->mutex);
            if (self->closing || self->peerGone) return;
            away = self->disconnectedSince && now - *self->disconnectedSince >= peerSilenceLimit;
        }
        const auto last = self->lastReceived.load();
        const bool silent = last != 0 && now - Clock::time_point(Clock::duration(last)) >= peerSilenceLimit;
        if (silent || away) {
            self->lose(std::make_exception_ptr(WebRTCConnector::ConnectionError(
                "The peer has not been heard from for " +
                std::to_string(std::chrono::duration_cast<std::chrono::seconds>(peerSilenceLimit).count()) +
                " seconds: the connection is lost")));
            return;
        }
        self->scheduleCheck();
    });
}

void WebRTCShared::setHandler(DisconnectHandler handler) {
    std::lock_guard lock(handlerMutex_);
    handler_ = std::move(handler);
}

DisconnectHandler WebRTCShared::handler() const {
    std::lock_guard lock(handlerMutex_);
    return handler_;
}

void WebRTCShared::callHandlerOnce() {
    DisconnectHandler handler;
    {
        std::lock_guard lock(handlerMutex_);
        if (handlerCalled_) return;
        handlerCalled_ = true;
        handler = handler_;
    }
    if (handler) handler();
}

}  // namespace realtime::detail
