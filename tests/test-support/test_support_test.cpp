// The shared test helpers themselves: what they leave behind, how they fail a test and what the
// loopback realtime server reports.

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "support/realtime_server.hpp"
#include "support/test_runtime.hpp"

namespace {

namespace asio = boost::asio;
namespace websocket = boost::beast::websocket;
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

// The app counts a call as connected before its handshake has reached the service. A test that asks
// the server then what it sent or received is told "nothing yet", and a wait for a scripted
// message also waits for the connection that carries it.
TEST(RealtimeServerQueries, AnswerNothingYetUntilAConnectionArrivesAndThenWhatWentOut) {
    support::RealtimeServer server;
    server.sendText(R"({"type":"session.created"})");
    EXPECT_TRUE(server.sent().empty());
    EXPECT_TRUE(server.frames().empty());
    EXPECT_FALSE(server.firstSent("session.created"));
    EXPECT_FALSE(server.waitForSent("session.created", 50ms));

    std::string received, failure;
    std::thread client([&, port = server.port()] {
        try {
            asio::io_context context;
            websocket::stream<asio::ip::tcp::socket> ws(context);
            ws.next_layer().connect({asio::ip::make_address("127.0.0.1"), port});
            ws.handshake("127.0.0.1", "/v1/realtime");
            ws.text(true);
            ws.write(asio::buffer(std::string(R"({"type":"input_audio_buffer.clear"})")));
            boost::beast::flat_buffer buffer;
            ws.read(buffer);
            received = boost::beast::buffers_to_string(buffer.data());
            ws.close(websocket::close_code::normal);
        } catch (const std::exception& error) {
            failure = error.what();
        }
    });
    const auto sent = server.waitForSent("session.created");
    client.join();
    ASSERT_EQ(failure, "");
    ASSERT_TRUE(sent);
    EXPECT_EQ(received, R"({"type":"session.created"})");
    ASSERT_EQ(server.sent().size(), 1u);
    EXPECT_EQ(server.sent()[0].time, *sent);
    ASSERT_TRUE(server.waitForFrames(1));
    EXPECT_EQ(server.frames()[0].data, R"({"type":"input_audio_buffer.clear"})");
}

}  // namespace
