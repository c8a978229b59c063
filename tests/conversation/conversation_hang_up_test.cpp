// Ending a conversation whose network went away while it streamed the microphone: its connection
// is shut within the closing limit though a write of it never completes, and nothing of its audio
// reaches the service when the network comes back.

#include <gtest/gtest.h>

#include "platform/audio/fake_audio_engine.hpp"
#include "platform/audio/pcm_buffer.hpp"
#include "realtime/conversation/conversation.hpp"
#include "realtime/transport/websocket_connection.hpp"
#include "realtime/transport/websocket_connector.hpp"
#include "support/realtime_server.hpp"
#include "support/test_runtime.hpp"

namespace conversation_test {
namespace {

using namespace std::chrono_literals;
using realtime::Conversation;

std::shared_ptr<platform::PcmBuffer> toneBuffer(const platform::AudioFormat& format) {
    auto buffer = platform::PcmBuffer::make(format, 4096);
    buffer->setFrameLength(4096);
    auto samples = buffer->floatData();
    for (std::uint32_t i = 0; i < 4096; ++i) samples[i] = (i % 48) < 24 ? 0.25f : -0.25f;
    return buffer;
}

std::size_t bytesReceived(const support::RealtimeServer& server) {
    std::size_t bytes = 0;
    for (const auto& frame : server.frames()) bytes += frame.data.size();
    return bytes;
}

TEST(ConversationHangUp, NothingOfItsAudioLeavesAfterTheEndThoughItsWritesWereStuck) {
    support::TestRuntime runtime;
    support::RealtimeServer server;
    auto engine = std::make_shared<platform::FakeAudioEngine>();
    // Never given up for silence while this test runs: only the end closes it.
    realtime::ConnectionRequest request;
    request.url = server.baseUrl() + "/v1/realtime";
    request.silenceLimit = 120s;
    auto conversation = runtime.onMain([&] {
        return Conversation::create(runtime.runtime(), std::make_shared<realtime::WebSocketConnector>(runtime.shared(), request),
                                    engine);
    });
    ASSERT_TRUE(server.waitForConnection());
    runtime.onMain([&] { conversation->startListening(); });
    const auto format = engine->inputFormat();
    engine->pushInput(toneBuffer(format));
    ASSERT_TRUE(server.waitForFrames(1));

    // The network goes away both ways; ten seconds of speech fill the socket buffers and stall.
    server.pauseReading(true);
    server.stopAnswering(true);
    for (int i = 0; i < 120; ++i) engine->pushInput(toneBuffer(format));
    engine->waitForInput();
    std::this_thread::sleep_for(1s);

    runtime.onMain([&] { conversation.reset(); });
    EXPECT_TRUE(support::eventually([] { return realtime::WebSocketConnector::openConnections() == 0; },
                                    realtime::detail::closeHandshakeLimit + 2s))
        << "the ended conversation's connection is still open";

    // The network is back: the service gets what had reached it before the end, and no more.
    const auto reachedBefore = bytesReceived(server) + server.unreadBytes();
    server.pauseReading(false);
    server.stopAnswering(false);
    EXPECT_TRUE(server.waitForClientClose(3s).has_value());
    std::this_thread::sleep_for(500ms);
    EXPECT_LE(bytesReceived(server), reachedBefore);
}

}  // namespace
}  // namespace conversation_test
