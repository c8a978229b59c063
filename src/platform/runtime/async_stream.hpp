#pragma once
// An unbounded asynchronous stream with one consumer. Producers never wait: yielded elements are
// buffered until the consumer takes them. Both sides may be used from any thread, and the
// consumer's coroutine may run on any executor.
//
//   auto [stream, continuation] = AsyncStream<Event>::make();
//   continuation.yield(event);            // producer, any thread
//   while (auto event = co_await stream.next()) { ... }   // consumer
//
// A failure ends the stream: the consumer first receives what was buffered, then next() throws
// the failure once, and returns std::nullopt afterwards. finish() ends it normally. Anything
// yielded after the end is dropped. When the last copy of the continuation is destroyed the
// stream is finished, so a consumer never waits for a producer that is gone.
//
// A producer that must not outrun its consumer (a socket reader, say) makes the stream with a
// capacity, gives each element a weight (its size, for instance) and awaits room() before it
// produces the next one: room() completes once the buffered weight is below the capacity, or the
// stream has ended. Yielding never waits, so the buffer holds at most the capacity plus one
// element's weight when every yield follows a room().

#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/defer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace platform {

namespace asio = boost::asio;

// Raised by next() when a second consumer waits while another is already waiting.
class ConcurrentConsumerError : public std::logic_error {
public:
    ConcurrentConsumerError() : std::logic_error("AsyncStream has a consumer waiting already") {}
};

template <class T>
class AsyncStream {
    using Signature = void(std::exception_ptr, std::optional<T>);

    // A waiting consumer's completion handler, type-erased. It keeps the consumer's executor
    // busy while waiting (so an io_context driving the consumer does not run out of work) and
    // completes by deferring to that executor, never inline in the producer's call. Deferred
    // rather than posted: a producer running on a thread of the consumer's own pool queues the
    // completion behind its current handler on that thread, instead of waking another thread of
    // the pool for it (from any other thread, deferring is posting).
    struct Waiter {
        virtual ~Waiter() = default;
        virtual void complete(std::exception_ptr error, std::optional<T> value) = 0;
    };

    template <class Handler>
    struct WaiterFor final : Waiter {
        explicit WaiterFor(Handler h) : handler(std::move(h)), work(asio::make_work_guard(handler)) {}
        void complete(std::exception_ptr error, std::optional<T> value) override {
            auto executor = work.get_executor();
            asio::defer(executor, [handler = std::move(handler), error = std::move(error),
                                  value = std::move(value)]() mutable {
                std::move(handler)(std::move(error), std::move(value));
            });
            work.reset();
        }
        Handler handler;
        asio::executor_work_guard<asio::associated_executor_t<Handler>> work;
    };

    // A producer waiting for room, type-erased like Waiter; it completes by deferring.
    struct RoomWaiter {
        virtual ~RoomWaiter() = default;
        virtual void complete() = 0;
    };

    template <class Handler>
    struct RoomWaiterFor final : RoomWaiter {
        explicit RoomWaiterFor(Handler h) : handler(std::move(h)), work(asio::make_work_guard(handler)) {}
        void complete() override {
            auto executor = work.get_executor();
            asio::defer(executor, [handler = std::move(handler)]() mutable { std::move(handler)(); });
            work.reset();
        }
        Handler handler;
        asio::executor_work_guard<asio::associated_executor_t<Handler>> work;
    };

    struct State {
        explicit State(std::size_t capacity) : capacity(capacity) {}

        std::mutex mutex;
        std::deque<T> buffer;
        std::deque<std::size_t> weights;  // of the buffered elements, in the same order
        std::size_t bufferedWeight = 0;
        const std::size_t capacity;
        std::unique_ptr<RoomWaiter> roomWaiter;
        std::exception_ptr failure;  // delivered once, after the buffer
        bool ended = false;          // no further element is accepted
        std::unique_ptr<Waiter> waiter;
        std::uint64_t waiterId = 0;

        // Completes a waiting consumer, if there is one and the stream has something for it.
        // Called with the lock held; the completion is posted after the lock is released.
        std::optional<std::pair<std::unique_ptr<Waiter>, std::pair<std::exception_ptr, std::optional<T>>>>
        takeReadyWaiter() {
            if (!waiter) return std::nullopt;
            auto result = takeResult();
            if (!result) return std::nullopt;
            return std::pair{std::move(waiter), std::move(*result)};
        }

        // The producer waiting for room, once there is room (or the stream has ended).
        std::unique_ptr<RoomWaiter> takeRoomWaiter() {
            if (!roomWaiter || (!ended && bufferedWeight >= capacity)) return nullptr;
            return std::move(roomWaiter);
        }

        void push(T value, std::size_t weight) {
            buffer.push_back(std::move(value));
            weights.push_back(weight);
            bufferedWeight += weight;
        }

        void dropBuffer() {
            buffer.clear();
            weights.clear();
            bufferedWeight = 0;
        }

        // What the consumer gets now, or nothing when it has to wait.
        std::optional<std::pair<std::exception_ptr, std::optional<T>>> takeResult() {
            if (!buffer.empty()) {
                auto value = std::move(buffer.front());
                buffer.pop_front();
                bufferedWeight -= weights.front();
                weights.pop_front();
                return std::pair{std::exception_ptr{}, std::optional<T>(std::move(value))};
            }
            if (!ended) return std::nullopt;
            return std::pair{std::exchange(failure, nullptr), std::optional<T>{}};
        }
    };

    static void completeReady(State& state, std::unique_lock<std::mutex>& lock) {
        auto ready = state.takeReadyWaiter();
        auto room = state.takeRoomWaiter();
        lock.unlock();
        if (ready) ready->first->complete(std::move(ready->second.first), std::move(ready->second.second));
        if (room) room->complete();
    }

    // Finishes the stream when the last producer handle goes away.
    struct ProducerToken {
        explicit ProducerToken(std::shared_ptr<State> s) : state(std::move(s)) {}
        ProducerToken(const ProducerToken&) = delete;
        ProducerToken& operator=(const ProducerToken&) = delete;
        std::shared_ptr<State> state;
        ~ProducerToken() {
            std::unique_lock lock(state->mutex);
            state->ended = true;
            completeReady(*state, lock);
        }
    };

public:
    class Continuation {
    public:
        // Queues an element of the given weight; dropped once the stream has ended.
        void yield(T value, std::size_t weight = 1) const {
            auto& state = *token_->state;
            std::unique_lock lock(state.mutex);
            if (state.ended) return;
            state.push(std::move(value), weight);
            completeReady(state, lock);
        }

        // Completes once the buffered weight is below the stream's capacity, or the stream has
        // ended. One producer waits at a time; the wait is not cancellable, ending the stream
        // ends it.
        template <class Token = asio::use_awaitable_t<>>
        auto room(Token&& token = {}) const {
            return asio::async_initiate<Token, void()>(
                [state = token_->state](auto handler) {
                    using Handler = std::decay_t<decltype(handler)>;
                    auto waiter = std::make_unique<RoomWaiterFor<Handler>>(std::move(handler));
                    std::unique_lock lock(state->mutex);
                    if (state->ended || state->bufferedWeight < state->capacity) {
                        lock.unlock();
                        waiter->complete();
                        return;
                    }
                    if (state->roomWaiter) throw std::logic_error("AsyncStream has a producer waiting for room already");
                    state->roomWaiter = std::move(waiter);
                },
                token);
        }

        // Drops what is still buffered and ends the stream normally, unless it has ended already
        // (a failure not yet delivered still is): for a producer whose consumer has no use for
        // the backlog any more.
        void discard() const {
            auto& state = *token_->state;
            std::unique_lock lock(state.mutex);
            state.dropBuffer();
            state.ended = true;
            completeReady(state, lock);
        }

        // Ends the stream with a failure; does nothing once the stream has ended.
        void fail(std::exception_ptr error) const {
            auto& state = *token_->state;
            std::unique_lock lock(state.mutex);
            if (state.ended) return;
            state.ended = true;
            state.failure = std::move(error);
            completeReady(state, lock);
        }

        template <class E>
        void fail(E error) const {
            fail(std::make_exception_ptr(std::move(error)));
        }

        // Ends the stream normally; does nothing once the stream has ended.
        void finish() const {
            auto& state = *token_->state;
            std::unique_lock lock(state.mutex);
            if (state.ended) return;
            state.ended = true;
            completeReady(state, lock);
        }

        bool hasEnded() const {
            std::lock_guard lock(token_->state->mutex);
            return token_->state->ended;
        }

    private:
        friend class AsyncStream;
        explicit Continuation(std::shared_ptr<State> state)
            : token_(std::make_shared<ProducerToken>(std::move(state))) {}
        std::shared_ptr<ProducerToken> token_;
    };

    // `capacity`: the buffered weight above which room() waits.
    static std::pair<AsyncStream, Continuation> make(std::size_t capacity = std::numeric_limits<std::size_t>::max()) {
        auto state = std::make_shared<State>(capacity);
        return {AsyncStream(state), Continuation(state)};
    }

    // The next element; std::nullopt once the stream has ended normally (and after its failure
    // was delivered). Throws the stream's failure once. Supports per-operation cancellation:
    // a cancelled wait fails with operation_aborted and loses no element.
    template <class Token = asio::use_awaitable_t<>>
    auto next(Token&& token = {}) {
        return asio::async_initiate<Token, Signature>(
            [state = state_](auto handler) {
                using Handler = std::decay_t<decltype(handler)>;
                auto waiter = std::make_unique<WaiterFor<Handler>>(std::move(handler));
                std::unique_lock lock(state->mutex);
                if (state->waiter) {
                    lock.unlock();
                    waiter->complete(std::make_exception_ptr(ConcurrentConsumerError()), std::nullopt);
                    return;
                }
                if (auto result = state->takeResult()) {
                    auto room = state->takeRoomWaiter();
                    lock.unlock();
                    waiter->complete(std::move(result->first), std::move(result->second));
                    if (room) room->complete();
                    return;
                }
                const auto id = ++state->waiterId;
                auto slot = asio::get_associated_cancellation_slot(waiter->handler);
                if (slot.is_connected()) {
                    slot.assign([weak = std::weak_ptr<State>(state), id](asio::cancellation_type) {
                        auto state = weak.lock();
                        if (!state) return;
                        std::unique_lock lock(state->mutex);
                        if (!state->waiter || state->waiterId != id) return;
                        auto cancelled = std::move(state->waiter);
                        lock.unlock();
                        cancelled->complete(std::make_exception_ptr(boost::system::system_error(
                                                asio::error::operation_aborted)),
                                            std::nullopt);
                    });
                }
                state->waiter = std::move(waiter);
            },
            token);
    }

private:
    explicit AsyncStream(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

}  // namespace platform
