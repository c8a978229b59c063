#pragma once
// Coroutine tasks with cancellation, sleeping, and running a function on another executor.
//
// A task is a coroutine spawned on an executor (through a strand of it, so that cancellation is
// delivered in order with the coroutine's own steps even on the multi-threaded shared pool). Its
// TaskHandle owns the cancellation signal: cancel() ends the pending wait (a sleep, a stream's
// next(), a socket operation) with operation_aborted, and destroying the handle cancels too.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace platform {

namespace asio = boost::asio;

// A monotonic clock that keeps counting while the machine is suspended.
struct ContinuousClock {
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<ContinuousClock>;
    static constexpr bool is_steady = true;
    static time_point now() noexcept;
};

using ContinuousTimer = asio::basic_waitable_timer<ContinuousClock>;

// Suspends the calling coroutine for `duration`, timing on `timerExecutor` (normally the shared
// executor); the coroutine resumes on its own executor. A cancelled sleep throws
// boost::system::system_error with operation_aborted.
asio::awaitable<void> sleepFor(asio::any_io_executor timerExecutor,
                               ContinuousClock::duration duration);

class TaskHandle {
public:
    TaskHandle() = default;
    TaskHandle(TaskHandle&& other) noexcept = default;
    TaskHandle& operator=(TaskHandle&& other) noexcept {
        if (this != &other) {
            cancel();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    TaskHandle(const TaskHandle&) = delete;
    TaskHandle& operator=(const TaskHandle&) = delete;
    ~TaskHandle() { cancel(); }

    // Requests cancellation; safe from any thread, does nothing after the first call or once the
    // task has ended.
    void cancel();

    bool isCancelled() const { return state_ && state_->cancelRequested.load(); }
    bool isFinished() const { return state_ && state_->finished.load(); }
    explicit operator bool() const { return state_ != nullptr; }

    // Two handles are equal when they refer to the same task.
    friend bool operator==(const TaskHandle& a, const TaskHandle& b) { return a.state_ == b.state_; }

    struct State {
        explicit State(asio::any_io_executor executor) : strand(std::move(executor)) {}
        asio::strand<asio::any_io_executor> strand;
        asio::cancellation_signal signal;
        std::atomic<bool> cancelRequested{false};
        std::atomic<bool> finished{false};
    };

    explicit TaskHandle(std::shared_ptr<State> state) : state_(std::move(state)) {}

private:
    std::shared_ptr<State> state_;
};

// Starts `body` (a callable returning asio::awaitable<void>, or an awaitable<void> itself) on
// `executor`. `onDone`, when given, runs on the task's strand with the exception the task ended
// with (null when it returned normally).
template <class F>
TaskHandle spawnTask(asio::any_io_executor executor, F&& body,
                     std::function<void(std::exception_ptr)> onDone = {}) {
    auto state = std::make_shared<TaskHandle::State>(std::move(executor));
    auto completion = [state, onDone = std::move(onDone)](std::exception_ptr error) {
        state->finished = true;
        if (onDone) onDone(error);
    };
    asio::co_spawn(asio::any_io_executor(state->strand), std::forward<F>(body),
                   asio::bind_cancellation_slot(state->signal.slot(), std::move(completion)));
    return TaskHandle(std::move(state));
}

namespace detail {
template <class T>
inline constexpr bool isAwaitable = false;
template <class T, class Executor>
inline constexpr bool isAwaitable<asio::awaitable<T, Executor>> = true;

// use_awaitable with no cancellation slot: the operation cannot be cancelled by its awaiter.
inline auto useAwaitableUncancelled() {
    return asio::bind_cancellation_slot(asio::cancellation_slot(), asio::use_awaitable);
}
}  // namespace detail

// Runs `function` on `executor` and resumes the caller with its result (or its exception).
// `function` may return a plain value or an asio::awaitable.
//
// The caller's cancellation does not reach `function`: it runs to its end, and a cancelled caller
// sees the cancellation at its next wait. Asio would forward it by queueing, on `executor`, a
// call through a pointer into the caller's cancellation slot; when the caller resumes and moves
// on (or ends) before that call runs, the call reaches a handler that is gone. That is what
// ending a call while the main executor still had server events queued ran into.
template <class F>
auto runOn(asio::any_io_executor executor, F function) {
    using Result = std::invoke_result_t<F&>;
    if constexpr (detail::isAwaitable<Result>) {
        return asio::co_spawn(std::move(executor), std::move(function), detail::useAwaitableUncancelled());
    } else {
        return asio::co_spawn(
            std::move(executor),
            [function = std::move(function)]() mutable -> asio::awaitable<Result> {
                co_return function();
            },
            detail::useAwaitableUncancelled());
    }
}

// Runs the coroutine `work` on `executor`, as above.
template <class T>
auto runOn(asio::any_io_executor executor, asio::awaitable<T> work) {
    return asio::co_spawn(std::move(executor), std::move(work), detail::useAwaitableUncancelled());
}

}  // namespace platform
