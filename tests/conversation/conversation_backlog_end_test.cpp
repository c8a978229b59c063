// Ending a conversation while the main executor still has server events to work through.
//
// The main executor here is an io_context the test thread steps itself, one handler at a time, so
// the conversation can be dropped at a chosen point of its event handling while the shared pool
// goes on at its own pace: events already hopping to the main executor, the cancellation of the
// event task and the task's end then meet in every order the threads allow.

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "platform/audio/fake_audio_engine.hpp"
#include "platform/runtime/runtime.hpp"
#include "realtime/conversation/conversation.hpp"
#include "support/realtime_events.hpp"
#include "support/realtime_server.hpp"

namespace conversation_test {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using realtime::Conversation;

std::string smallEvent(std::size_t n) {
    return support::serverEvent(n % 2 ? "input_audio_buffer.speech_started" : "input_audio_buffer.speech_stopped",
                                {{"audio_start_ms", n}, {"audio_end_ms", n}, {"item_id", "user"}})
        .dump();
}

class ConversationBacklogEnd : public ::testing::Test {
protected:
    // Runs ready main-executor handlers one at a time for `duration`, pausing between them so that
    // the shared pool gets ahead of the main executor.
    void stepMain(std::chrono::milliseconds duration, std::chrono::microseconds pause) {
        const auto until = std::chrono::steady_clock::now() + duration;
        while (std::chrono::steady_clock::now() < until) {
            main.restart();
            main.poll_one();
            std::this_thread::sleep_for(pause);
        }
    }

    asio::io_context main;
    platform::Runtime runtime{main.get_executor(), 2};
    support::RealtimeServer server;
};

TEST_F(ConversationBacklogEnd, EndingACallRightAfterAnEventWasHandledLeavesNothingBehind) {
    ::setenv("KESTRO_REALTIME_URL", server.baseUrl().c_str(), 1);
    for (int call = 0; call < 6; ++call) {
        auto engine = std::make_shared<platform::FakeAudioEngine>();
        auto conversation = Conversation::create(runtime, "secret-token", "gpt-4o-realtime-preview", engine);
        ASSERT_TRUE(server.waitForConnection(static_cast<std::size_t>(call) + 1));
        server.flood(smallEvent, 200'000);
        int handled = 0;
        auto counting = conversation->isUserSpeaking().observe([&](bool) { ++handled; });
        // A backlog builds while events are handled slowly, one main-executor step at a time.
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (handled < 50 + 10 * call && std::chrono::steady_clock::now() < deadline) stepMain(1ms, 100us);
        ASSERT_GE(handled, 50) << "the flood did not reach the conversation";
        // The call ends right after an event was handled, while the way back from that event to
        // the event task is still queued on the main executor.
        const int seen = handled;
        while (handled == seen && std::chrono::steady_clock::now() < deadline) {
            main.restart();
            main.poll_one();
        }
        counting.reset();
        conversation.reset();
        // What is left on the main executor runs with pauses in between: the event task, on the
        // pool, moves on and ends meanwhile.
        stepMain(50ms, 2ms);
    }
    runtime.stop();
    main.restart();
    main.poll();
}

}  // namespace
}  // namespace conversation_test
