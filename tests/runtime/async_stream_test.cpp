#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>

#include <atomic>
#include <future>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/runtime/async_stream.hpp"
#include "platform/runtime/task.hpp"
#include "support/test_runtime.hpp"

namespace {

namespace asio = boost::asio;
using platform::AsyncStream;
using namespace std::chrono_literals;

template <class T>
asio::awaitable<std::vector<T>> drain(AsyncStream<T> stream) {
    std::vector<T> all;
    while (auto value = co_await stream.next()) all.push_back(*value);
    co_return all;
}

TEST(AsyncStream, FailureComesAfterTheBufferOnceAndWhatFollowsIsDropped) {
    support::TestRuntime rt;
    auto [stream, continuation] = AsyncStream<int>::make();
    continuation.yield(1);
    continuation.yield(2);
    continuation.fail(std::runtime_error("broken"));
    continuation.yield(3);
    continuation.finish();
    continuation.finish();
    continuation.fail(std::runtime_error("ignored after the end"));

    auto seen = rt.run([stream = stream]() mutable -> asio::awaitable<std::vector<std::string>> {
        std::vector<std::string> seen;
        for (int i = 0; i < 5; ++i) {
            try {
                auto value = co_await stream.next();
                seen.push_back(value ? std::to_string(*value) : "end");
            } catch (const std::runtime_error& error) {
                seen.push_back(error.what());
            }
        }
        co_return seen;
    });
    EXPECT_EQ(seen, (std::vector<std::string>{"1", "2", "broken", "end", "end"}));
}

TEST(AsyncStream, TheLastProducerGoingAwayEndsTheStream) {
    support::TestRuntime rt;
    auto [stream, continuation] = AsyncStream<int>::make();
    auto copy = continuation;
    continuation = decltype(continuation)(copy);
    copy.yield(1);
    // The consumer waits; the stream ends when both producer copies are gone.
    std::thread dropper([c = std::move(copy), other = std::move(continuation)]() mutable {
        std::this_thread::sleep_for(20ms);
        auto gone = std::move(c);
        auto alsoGone = std::move(other);
    });
    EXPECT_EQ(rt.run([s = stream] { return drain(s); }), std::vector<int>{1});
    dropper.join();
}

TEST(AsyncStream, ProducersOnManyThreadsReachAConsumerOnTheMainExecutorInTheirOwnOrder) {
    support::TestRuntime rt;
    auto [stream, continuation] = AsyncStream<std::pair<int, int>>::make();
    constexpr int producers = 4, perProducer = 2000;
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([p, c = continuation] {
            for (int i = 0; i < perProducer; ++i) c.yield({p, i});
        });
    }
    std::thread finisher([&threads, c = std::move(continuation)] {
        for (auto& t : threads) t.join();
        c.finish();
    });

    auto result = rt.run([&rt, s = stream]() mutable -> asio::awaitable<std::map<int, int>> {
        std::map<int, int> next;
        while (auto value = co_await s.next()) {
            if (!rt.onMainThread()) throw std::logic_error("consumer resumed off its executor");
            auto [producer, index] = *value;
            if (next[producer] != index) throw std::logic_error("out of order");
            ++next[producer];
        }
        co_return next;
    });
    finisher.join();
    for (int p = 0; p < producers; ++p) EXPECT_EQ(result[p], perProducer);
}

TEST(AsyncStream, AWaitingConsumerKeepsItsIoContextRunning) {
    // A consumer on an io_context run by the test thread itself: run() must not return while the
    // consumer waits for an element that another thread yields later.
    asio::io_context context;
    auto [stream, continuation] = AsyncStream<int>::make();
    std::vector<int> got;
    asio::co_spawn(context, [&, s = stream]() mutable -> asio::awaitable<void> {
        got = co_await drain(s);
    }, asio::detached);
    std::thread producer([c = std::move(continuation)] {
        std::this_thread::sleep_for(30ms);
        c.yield(42);
        c.finish();
    });
    context.run();
    producer.join();
    EXPECT_EQ(got, std::vector<int>{42});
}

TEST(AsyncStream, AProducerOnTheConsumersPoolResumesItOnItsOwnThreadAfterItsStepNeverInside) {
    // Two threads run the consumer's io_context. A yield from a step on one of them resumes the
    // consumer after that step, on the same thread: the other thread is not woken for it.
    asio::io_context context(2);
    auto guard = asio::make_work_guard(context);
    auto [stream, continuation] = AsyncStream<int>::make();
    std::promise<std::thread::id> consumedOn;
    std::atomic<bool> stepDone{false};
    std::atomic<bool> resumedInsideTheStep{false};
    asio::co_spawn(context, [&, s = stream]() mutable -> asio::awaitable<void> {
        auto value = co_await s.next();
        resumedInsideTheStep = !stepDone.load();
        EXPECT_EQ(value, std::optional<int>(7));
        consumedOn.set_value(std::this_thread::get_id());
    }, asio::detached);
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) threads.emplace_back([&] { context.run(); });
    std::this_thread::sleep_for(20ms);  // the consumer waits
    std::promise<std::thread::id> producedOn;
    asio::post(context, [&, c = continuation] {
        c.yield(7);
        std::this_thread::sleep_for(20ms);  // time for another thread to take the completion
        stepDone = true;
        producedOn.set_value(std::this_thread::get_id());
    });
    auto consumer = consumedOn.get_future();
    ASSERT_EQ(consumer.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(consumer.get(), producedOn.get_future().get());
    EXPECT_FALSE(resumedInsideTheStep);
    guard.reset();
    context.stop();
    for (auto& thread : threads) thread.join();
}

TEST(AsyncStream, CancellingAWaitingConsumerLosesNoElement) {
    support::TestRuntime rt;
    auto [stream, continuation] = AsyncStream<int>::make();
    std::promise<std::string> outcome;
    auto task = platform::spawnTask(rt.main(), [s = stream, &outcome]() mutable -> asio::awaitable<void> {
        try {
            co_await s.next();
            outcome.set_value("resumed");
        } catch (const boost::system::system_error& error) {
            outcome.set_value(error.code() == asio::error::operation_aborted ? "aborted" : "other");
        }
    });
    std::this_thread::sleep_for(20ms);
    task.cancel();
    EXPECT_EQ(outcome.get_future().get(), "aborted");

    continuation.yield(5);
    continuation.finish();
    EXPECT_EQ(rt.run([s = stream] { return drain(s); }), std::vector<int>{5});
}

}  // namespace

TEST(AsyncStream, AProducerPacedByRoomNeverBuffersMoreThanTheCapacityAndOneElement) {
    support::TestRuntime rt;
    auto [stream, continuation] = AsyncStream<int>::make(10);
    std::atomic<int> produced{0};
    // Elements of weight 4: after three of them (12) the producer waits until the consumer takes
    // enough to bring the buffer below 10.
    auto producer = platform::spawnTask(rt.shared(), [c = continuation, &produced]() -> asio::awaitable<void> {
        for (int i = 0; i < 100; ++i) {
            co_await c.room();
            c.yield(i, 4);
            ++produced;
        }
        c.finish();
    });
    EXPECT_TRUE(support::eventually([&] { return produced.load() == 3; }));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(produced.load(), 3) << "the producer went on while the buffer was full";

    auto all = rt.run([s = stream, &produced]() mutable -> asio::awaitable<std::vector<int>> {
        std::vector<int> all;
        while (auto value = co_await s.next()) {
            // What was produced and not yet taken stays within the capacity plus one element.
            if (produced.load() - static_cast<int>(all.size()) > 4) throw std::logic_error("buffer ran over");
            all.push_back(*value);
        }
        co_return all;
    });
    ASSERT_EQ(all.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(all[i], i);
}

TEST(AsyncStream, DiscardingDropsTheBacklogWakesAWaitingProducerAndKeepsAFailureDue) {
    support::TestRuntime rt;
    {
        auto [stream, continuation] = AsyncStream<int>::make(2);
        continuation.yield(1);
        continuation.yield(2);
        std::promise<void> woken;
        asio::co_spawn(rt.shared(), [c = continuation, &woken]() -> asio::awaitable<void> {
            co_await c.room();
            woken.set_value();
        }, asio::detached);
        std::this_thread::sleep_for(20ms);
        continuation.discard();
        EXPECT_EQ(woken.get_future().wait_for(5s), std::future_status::ready);
        continuation.yield(3);
        EXPECT_EQ(rt.run([s = stream] { return drain(s); }), std::vector<int>{});
    }
    {
        auto [stream, continuation] = AsyncStream<int>::make();
        continuation.yield(1);
        continuation.fail(std::runtime_error("broken"));
        continuation.discard();
        EXPECT_THROW(rt.run([s = stream] { return drain(s); }), std::runtime_error);
    }
}
