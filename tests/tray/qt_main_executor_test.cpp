#include "platform/ui/qt_main_executor.hpp"

#include <gtest/gtest.h>

#include <QThread>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <thread>

#include "platform/runtime/task.hpp"
#include "qt_test_application.hpp"

namespace {

namespace asio = boost::asio;
using kestro::test::processEventsUntil;
using kestro::test::qtApplication;

class QtMainExecutorTest : public ::testing::Test {
protected:
    void SetUp() override { qtApplication(); }

    platform::QtExecutionContext context;
    asio::any_io_executor main = context.get_executor();
};

// An error escaping a function is reported, and the loop goes on.
TEST_F(QtMainExecutorTest, PostFromAnyThreadWaitsForTheLoopWhileDispatchOnTheQtThreadRunsAtOnce) {
    std::vector<std::string> lines;
    platform::ScopedPrintSink sink([&](std::string_view line) { lines.emplace_back(line); });
    std::vector<std::string> order;
    QThread* ranOn = nullptr;
    std::thread other([&] {
        asio::post(main, [&] {
            ranOn = QThread::currentThread();
            order.push_back("posted from another thread");
        });
    });
    other.join();
    asio::post(main, [] { throw std::runtime_error("boom"); });
    asio::post(main, [&] { order.push_back("posted"); });
    asio::dispatch(main, [&] { order.push_back("dispatched"); });
    order.push_back("returned");
    ASSERT_TRUE(processEventsUntil([&] { return order.size() == 4; }));
    EXPECT_EQ(order,
              (std::vector<std::string>{"dispatched", "returned", "posted from another thread", "posted"}));
    EXPECT_EQ(ranOn, qtApplication().thread());
    EXPECT_EQ(lines, (std::vector<std::string>{"Unhandled error on the main thread: boom"}));
}

// The tasks of the controller and the menu state run on the Qt thread through a strand, and
// resume there after waiting on the shared executor.
TEST_F(QtMainExecutorTest, TasksSleepOnTheSharedExecutorAndStopWhenCancelled) {
    asio::io_context background;
    auto guard = asio::make_work_guard(background);
    std::thread worker([&] { background.run(); });
    auto shared = background.get_executor();

    std::vector<QThread*> threads;
    std::exception_ptr ending;
    bool done = false;
    auto handle = platform::spawnTask(
        main,
        [&]() -> asio::awaitable<void> {
            threads.push_back(QThread::currentThread());
            co_await platform::sleepFor(shared, std::chrono::milliseconds(5));
            threads.push_back(QThread::currentThread());
            auto answer = co_await platform::runOn(shared, [] { return 42; });
            threads.push_back(QThread::currentThread());
            EXPECT_EQ(answer, 42);
            co_await platform::sleepFor(shared, std::chrono::hours(1));
        },
        [&](std::exception_ptr error) {
            ending = error;
            done = true;
        });
    ASSERT_TRUE(processEventsUntil([&] { return threads.size() == 3; }));
    handle.cancel();
    EXPECT_TRUE(processEventsUntil([&] { return done; }));
    guard.reset();
    worker.join();
    for (auto* thread : threads) EXPECT_EQ(thread, qtApplication().thread());
    ASSERT_TRUE(ending);
    try {
        std::rethrow_exception(ending);
    } catch (const boost::system::system_error& error) {
        EXPECT_EQ(error.code(), asio::error::operation_aborted);
    }
}

TEST(QtExecutionContext, WorkStillQueuedAtDestructionIsDroppedWithoutRunning) {
    qtApplication();
    auto token = std::make_shared<int>(0);
    bool ran = false;
    {
        platform::QtExecutionContext context;
        asio::post(context.get_executor(), [&ran, token] { ran = true; });
        EXPECT_EQ(token.use_count(), 2);
    }
    EXPECT_EQ(token.use_count(), 1);
    QApplication::processEvents();
    EXPECT_FALSE(ran);
}

// At exit the queued work goes while what it holds (a task's timer on the shared executor) still
// exists: that includes what waits for its turn in a strand, which Qt has not been handed yet, and
// whatever is handed over afterwards, on any thread.
TEST(QtExecutionContext, DiscardingDropsWhatWaitsInItsStrandsAndWhatComesLater) {
    qtApplication();
    platform::QtExecutionContext context;
    auto strand = asio::make_strand(context.get_executor());
    auto token = std::make_shared<int>(0);
    bool ran = false;
    asio::post(strand, [&ran, token] { ran = true; });
    asio::post(strand, [&ran, token] { ran = true; });
    EXPECT_EQ(token.use_count(), 3);
    context.discardQueuedWork();
    EXPECT_EQ(token.use_count(), 1) << "what waits in the strand is still held";

    asio::post(strand, [&ran, token] { ran = true; });
    asio::dispatch(context.get_executor(), [&ran, token] { ran = true; });
    std::thread([&] { asio::post(context.get_executor(), [&ran, token] { ran = true; }); }).join();
    EXPECT_EQ(token.use_count(), 1);
    QApplication::processEvents();
    EXPECT_FALSE(ran);
}

}  // namespace
