#pragma once
// The process runtime as tests use it: the main executor is an io_context run on a thread of its
// own, beside the shared pool. Blocking helpers let a test body wait for coroutines and for work
// on the main executor, with a time limit so that a fault fails the test instead of hanging it.

#include <gtest/gtest.h>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <chrono>
#include <exception>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>
#include <type_traits>

#include "platform/runtime/runtime.hpp"
#include "platform/runtime/task.hpp"

namespace support {

namespace asio = boost::asio;
using namespace std::chrono_literals;

class TimedOut : public std::runtime_error {
public:
    TimedOut() : std::runtime_error("test wait timed out") {}
};

class TestRuntime {
public:
    explicit TestRuntime(std::size_t sharedThreads = 2);
    ~TestRuntime();
    TestRuntime(const TestRuntime&) = delete;
    TestRuntime& operator=(const TestRuntime&) = delete;

    platform::Runtime& runtime() { return *runtime_; }
    asio::any_io_executor main() const { return runtime_->mainExecutor(); }
    asio::any_io_executor shared() const { return runtime_->sharedExecutor(); }
    bool onMainThread() const { return std::this_thread::get_id() == mainThread_.get_id(); }

    // How long a coroutine cancelled at its time limit has to stop.
    static constexpr std::chrono::milliseconds cancelGrace = 5s;

    // Runs the coroutine made by `body` on `executor` (the main executor by default) and blocks
    // until it ends, returning its value or rethrowing its exception. After `timeout` the
    // coroutine is cancelled and TimedOut is thrown; a coroutine that does not stop within
    // cancelGrace of being cancelled also fails the running test.
    template <class F>
    auto run(F body, std::chrono::milliseconds timeout = 10s) {
        return run(main(), std::move(body), timeout);
    }
    template <class F>
    auto run(asio::any_io_executor executor, F body, std::chrono::milliseconds timeout = 10s) {
        using Result = typename std::invoke_result_t<F&>::value_type;
        auto promise = std::make_shared<std::promise<Result>>();
        auto future = promise->get_future();
        auto task = platform::spawnTask(
            std::move(executor),
            [body = std::move(body), promise]() mutable -> asio::awaitable<void> {
                try {
                    if constexpr (std::is_void_v<Result>) {
                        co_await body();
                        promise->set_value();
                    } else {
                        promise->set_value(co_await body());
                    }
                } catch (...) {
                    promise->set_exception(std::current_exception());
                }
            });
        if (future.wait_for(timeout) != std::future_status::ready) {
            task.cancel();
            if (future.wait_for(cancelGrace) != std::future_status::ready)
                ADD_FAILURE() << "the coroutine did not stop within " << cancelGrace.count()
                              << " ms of being cancelled at its time limit";
            throw TimedOut();
        }
        return future.get();
    }

    // Runs `function` on the main executor and blocks until it has run.
    template <class F>
    auto onMain(F function, std::chrono::milliseconds timeout = 10s) {
        using Result = std::invoke_result_t<F&>;
        auto promise = std::make_shared<std::promise<Result>>();
        auto future = promise->get_future();
        asio::post(main(), [function = std::move(function), promise]() mutable {
            try {
                if constexpr (std::is_void_v<Result>) {
                    function();
                    promise->set_value();
                } else {
                    promise->set_value(function());
                }
            } catch (...) {
                promise->set_exception(std::current_exception());
            }
        });
        if (future.wait_for(timeout) != std::future_status::ready) throw TimedOut();
        return future.get();
    }

private:
    asio::io_context mainContext_;
    asio::executor_work_guard<asio::io_context::executor_type> mainWork_;
    std::unique_ptr<platform::Runtime> runtime_;
    std::thread mainThread_;
};

// Polls `condition` until it holds or `timeout` passes; returns whether it held.
template <class F>
bool eventually(F condition, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// Runs `io` on the calling thread until `done` holds or `limit` passes; returns whether it held.
template <class F>
bool runUntil(asio::io_context& io, F done, std::chrono::milliseconds limit = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        io.restart();
        io.run_for(2ms);
    }
    return true;
}

}  // namespace support
