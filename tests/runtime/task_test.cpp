#include <gtest/gtest.h>

#include <future>
#include <stdexcept>
#include <string>

#include "platform/runtime/task.hpp"
#include "support/test_runtime.hpp"

namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

std::string outcomeOf(std::exception_ptr error) {
    if (!error) return "finished";
    try {
        std::rethrow_exception(error);
    } catch (const boost::system::system_error& e) {
        return e.code() == asio::error::operation_aborted ? "aborted" : e.what();
    } catch (const std::exception& e) {
        return e.what();
    }
}

TEST(Task, CancellingOrDroppingTheHandleEndsASleepWithOperationAborted) {
    support::TestRuntime rt;
    for (bool drop : {false, true}) {
        std::promise<std::string> done;
        std::promise<std::string> caught;
        {
            auto handle = platform::spawnTask(
                rt.main(),
                [&]() -> asio::awaitable<void> {
                    try {
                        co_await platform::sleepFor(rt.shared(), 1h);
                    } catch (...) {
                        caught.set_value(outcomeOf(std::current_exception()));
                        throw;
                    }
                },
                [&](std::exception_ptr error) { done.set_value(outcomeOf(error)); });
            std::this_thread::sleep_for(10ms);
            if (!drop) {
                handle.cancel();
                EXPECT_TRUE(handle.isCancelled());
            }
        }
        auto future = caught.get_future();
        ASSERT_EQ(future.wait_for(5s), std::future_status::ready) << "drop=" << drop;
        EXPECT_EQ(future.get(), "aborted");
        EXPECT_EQ(done.get_future().get(), "aborted");
    }
}

TEST(Task, ATaskOnTheSharedPoolCanBeCancelledAndReportsItsEnd) {
    support::TestRuntime rt(4);
    std::promise<std::string> done;
    auto handle = platform::spawnTask(
        rt.shared(),
        [&]() -> asio::awaitable<void> {
            for (;;) co_await platform::sleepFor(rt.shared(), 1ms);
        },
        [&](std::exception_ptr error) { done.set_value(outcomeOf(error)); });
    std::this_thread::sleep_for(20ms);
    handle.cancel();
    EXPECT_EQ(done.get_future().get(), "aborted");
    EXPECT_TRUE(support::eventually([&] { return handle.isFinished(); }));
}

TEST(Task, RunOnAndSleepsResumeOnTheRightExecutorAndBringBackValuesAndErrors) {
    support::TestRuntime rt;
    // A sleep on the shared timers resumes on the task's own executor.
    EXPECT_TRUE(rt.run([&]() -> asio::awaitable<bool> {
        co_await platform::sleepFor(rt.shared(), 10ms);
        co_return rt.onMainThread();
    }));
    auto value = rt.run(rt.shared(), [&]() -> asio::awaitable<int> {
        bool onMain = co_await platform::runOn(rt.main(), [&] { return rt.onMainThread(); });
        if (!onMain) throw std::logic_error("not on main");
        int awaited = co_await platform::runOn(rt.main(), []() -> asio::awaitable<int> { co_return 40; });
        co_await platform::runOn(rt.main(), [] {});
        co_return awaited + 2;
    });
    EXPECT_EQ(value, 42);

    EXPECT_THROW(rt.run(rt.shared(), [&]() -> asio::awaitable<void> {
        co_await platform::runOn(rt.main(), []() -> int { throw std::out_of_range("nope"); });
    }), std::out_of_range);
}

}  // namespace
