// The shared test helpers themselves: what they leave behind and how they fail a test.

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "support/realtime_server.hpp"
#include "support/test_runtime.hpp"

namespace {

namespace asio = boost::asio;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A process that makes the test certificate and ends normally removes its file on the way out.
TEST(TestCertificateFile, IsRemovedWhenTheProcessThatMadeItEnds) {
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipeEnds[0]);
        const std::string& file = support::TestCertificate::get().certificateFile;
        const bool written = fs::file_size(file) > 0;
        const std::string line = file + "\n";
        const bool sent = ::write(pipeEnds[1], line.data(), line.size()) == static_cast<ssize_t>(line.size());
        ::close(pipeEnds[1]);
        std::exit(written && sent ? 0 : 3);
    }
    ::close(pipeEnds[1]);
    std::string reported;
    char buffer[256];
    for (ssize_t got; (got = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;) reported.append(buffer, got);
    ::close(pipeEnds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child ended with status " << status;
    ASSERT_FALSE(reported.empty());
    const fs::path file = reported.substr(0, reported.find('\n'));
    EXPECT_EQ(file.parent_path(), fs::temp_directory_path());
    EXPECT_FALSE(fs::exists(file)) << file << " was left behind";
}

// A coroutine that reaches its time limit is cancelled and TimedOut is thrown; one that then does
// not stop also fails the test, so that a wait nothing can cancel is not mistaken for a timeout.
TEST(TestRuntimeRun, ACancelledCoroutineThatDoesNotStopFailsTheTest) {
    struct Case {
        const char* name;
        bool honoursCancellation;
        int failures;
    };
    for (const Case& c : {Case{"stops when cancelled", true, 0}, Case{"ignores the cancellation", false, 1}}) {
        SCOPED_TRACE(c.name);
        support::TestRuntime runtime;
        auto timer = std::make_shared<asio::steady_timer>(runtime.shared(), 1h);
        ::testing::TestPartResultArray results;
        bool timedOut = false;
        {
            ::testing::ScopedFakeTestPartResultReporter reporter(
                ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results);
            try {
                runtime.run(
                    [timer, honours = c.honoursCancellation]() -> asio::awaitable<void> {
                        if (!honours)
                            co_await asio::this_coro::reset_cancellation_state(asio::disable_cancellation());
                        co_await timer->async_wait(asio::use_awaitable);
                    },
                    50ms);
            } catch (const support::TimedOut&) {
                timedOut = true;
            }
        }
        EXPECT_TRUE(timedOut);
        ASSERT_EQ(results.size(), c.failures);
        if (c.failures > 0) {
            EXPECT_TRUE(results.GetTestPartResult(0).nonfatally_failed());
            EXPECT_NE(std::string(results.GetTestPartResult(0).message()).find("did not stop"), std::string::npos)
                << results.GetTestPartResult(0).message();
        }
        // Lets the coroutine that ignored its cancellation end before the runtime goes.
        asio::post(runtime.shared(), [timer] { timer->cancel(); });
        EXPECT_TRUE(support::eventually([&] { return timer.use_count() == 1; }));
    }
}

}  // namespace
