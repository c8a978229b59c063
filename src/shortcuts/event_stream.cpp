#include "shortcuts/event_stream.hpp"

#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <deque>
#include <mutex>

namespace asio = boost::asio;

namespace GlobalShortcuts {

// A suspended next(): completes it on its own executor, and detaches its cancellation.
struct Waiter {
    std::function<void(std::optional<EventType>)> complete;
    std::function<void()> detach;
};

struct EventStream::Channel {
    mutable std::mutex mutex;
    std::deque<EventType> buffer;
    std::optional<EventType> only;
    std::optional<Waiter> waiter;
    bool ended = false;
    std::function<void()> onEnd;

    // From a cancellation the slot is left alone: its handler is the one running.
    void finish(bool cancelled = false) {
        std::optional<Waiter> pending;
        std::function<void()> callback;
        {
            std::lock_guard lock(mutex);
            if (ended) return;
            ended = true;
            buffer.clear();
            pending = std::exchange(waiter, std::nullopt);
            callback = std::exchange(onEnd, {});
        }
        if (pending) {
            if (!cancelled) pending->detach();
            pending->complete(std::nullopt);
        }
        if (callback) callback();
    }
};

EventStream::EventStream(std::shared_ptr<Channel> channel) : channel_(std::move(channel)) {}

EventStream& EventStream::operator=(EventStream&& other) noexcept {
    if (this != &other) {
        end();
        channel_ = std::move(other.channel_);
    }
    return *this;
}

EventStream::~EventStream() { end(); }

void EventStream::end() {
    if (channel_) channel_->finish();
}

bool EventStream::ended() const { return !channel_ || isEnded(*channel_); }

std::optional<EventType> EventStream::tryNext() {
    if (!channel_) return std::nullopt;
    std::lock_guard lock(channel_->mutex);
    if (channel_->buffer.empty()) return std::nullopt;
    EventType event = channel_->buffer.front();
    channel_->buffer.pop_front();
    return event;
}

namespace {

// Starts one next(): completes at once from the buffer (or with none once ended), otherwise
// parks the handler until yield() or the end.
struct NextInitiation {
    std::shared_ptr<EventStream::Channel> channel;

    template <class Handler>
    void operator()(Handler handler) const;
};

}  // namespace

template <class Handler>
void NextInitiation::operator()(Handler handler) const {
    auto shared = std::make_shared<Handler>(std::move(handler));
    Waiter waiter{[shared](std::optional<EventType> value) {
                      auto executor = asio::get_associated_executor(*shared);
                      asio::post(executor, [shared, value] { std::move(*shared)(value); });
                  },
                  [shared] { asio::get_associated_cancellation_slot(*shared).clear(); }};
    if (!channel) {
        waiter.complete(std::nullopt);
        return;
    }
    std::unique_lock lock(channel->mutex);
    if (!channel->buffer.empty() || channel->ended) {
        std::optional<EventType> value;
        if (!channel->buffer.empty()) {
            value = channel->buffer.front();
            channel->buffer.pop_front();
        }
        lock.unlock();
        waiter.complete(value);
        return;
    }
    auto slot = asio::get_associated_cancellation_slot(*shared);
    if (slot.is_connected()) {
        // Cancelling the waiting task ends the stream.
        slot.assign([weak = std::weak_ptr<EventStream::Channel>(channel)](asio::cancellation_type) {
            if (auto strong = weak.lock()) strong->finish(true);
        });
    }
    channel->waiter = std::move(waiter);
}

// Not a coroutine itself: the operation is started when the caller awaits it.
asio::awaitable<std::optional<EventType>> EventStream::next() {
    return asio::async_initiate<decltype(asio::use_awaitable), void(std::optional<EventType>)>(
        NextInitiation{channel_}, asio::use_awaitable);
}

std::shared_ptr<EventStream::Channel> EventStream::makeChannel(std::optional<EventType> only,
                                                               std::function<void()> onEnd) {
    auto channel = std::make_shared<Channel>();
    channel->only = only;
    channel->onEnd = std::move(onEnd);
    return channel;
}

void EventStream::yield(Channel& channel, EventType event) {
    std::optional<Waiter> waiter;
    {
        std::lock_guard lock(channel.mutex);
        if (channel.ended || (channel.only && *channel.only != event)) return;
        if (!channel.waiter) {
            channel.buffer.push_back(event);
            return;
        }
        waiter = std::exchange(channel.waiter, std::nullopt);
    }
    waiter->detach();
    waiter->complete(event);
}

bool EventStream::isEnded(const Channel& channel) {
    std::lock_guard lock(channel.mutex);
    return channel.ended;
}

}  // namespace GlobalShortcuts
