// A conversation made from a credential and a model name, against the loopback realtime server.

#include "conversation_fixture.hpp"

#include <cstdlib>

#include "support/realtime_server.hpp"

namespace conversation_test {
namespace {

class ConversationOverWebSocket : public ConversationTest {
protected:
    void create() override {
        ::setenv("KESTRO_REALTIME_URL", realtimeServer.baseUrl().c_str(), 1);
        conversation = runtime.onMain([&] {
            return Conversation::create(runtime.runtime(), "secret-token", "gpt-4o-realtime-preview", probe);
        });
        ASSERT_TRUE(realtimeServer.waitForConnection());
    }
    void deliver(const json& serverEvent) override { realtimeServer.sendText(serverEvent.dump()); }

    std::vector<json> sentOfType(const std::string& type) {
        std::vector<json> events;
        for (const auto& frame : realtimeServer.frames()) {
            auto event = json::parse(frame.data);
            if (event["type"] == type) events.push_back(event);
        }
        return events;
    }

    support::RealtimeServer realtimeServer;
};

TEST_F(ConversationOverWebSocket, ConnectsWithTheCredentialAndAnnouncesTheSessionOnce) {
    auto handshake = realtimeServer.handshake();
    EXPECT_EQ(handshake.header("Authorization"), "Bearer secret-token");
    EXPECT_NE(handshake.target.find("model=gpt-4o-realtime-preview"), std::string::npos);

    int announced = 0;
    auto subscription = onMain([&] {
        return conversation->connected().observe([&](bool) { ++announced; });
    });
    // Before the session exists, an update fails and nothing goes out.
    EXPECT_THROW(runtime.run([&] { return conversation->updateSession([](realtime::Session&) {}); }),
                 realtime::ConversationError);

    connect();
    pushAndSync(event("session.created", {{"session", sessionObject()}}));
    EXPECT_EQ(onMain([&] { return announced; }), 1);
    EXPECT_TRUE(realtimeServer.frames().empty());

    runtime.run([&] {
        return conversation->whenConnected([&]() -> boost::asio::awaitable<void> {
            co_await conversation->updateSession([](realtime::Session& session) {
                session.inputAudioTranscription = realtime::Session::InputAudioTranscription{};
            });
        });
    });
    ASSERT_TRUE(realtimeServer.waitForFrames(1));
    auto update = json::parse(realtimeServer.frames()[0].data);
    EXPECT_EQ(update["type"], "session.update");
    EXPECT_EQ(update["session"]["input_audio_transcription"]["model"], "whisper-1");
    onMain([&] { subscription.reset(); });
}

TEST_F(ConversationOverWebSocket, StreamsTheMicrophoneAndInterruptsThePlayingAnswer) {
    connect();
    onMain([&] { conversation->startListening(); });
    ASSERT_TRUE(engine->waitForTap());
    std::size_t phase = 0;
    for (int i = 0; i < 8; ++i) {
        auto buffer = platform::PcmBuffer::make(platform::AudioFormat::float32(48000, 1), 4096);
        buffer->setFrameLength(4096);
        for (auto& sample : buffer->floatData()) sample = 0.3f * float(std::sin(2 * M_PI * 440 * double(phase++) / 48000));
        engine->pushInput(buffer);
    }
    ASSERT_TRUE(realtimeServer.waitForFrames(8));
    auto appends = sentOfType("input_audio_buffer.append");
    ASSERT_EQ(appends.size(), 8u);
    for (std::size_t i = 2; i < appends.size(); ++i) {
        EXPECT_EQ(realtime::base64Decode(appends[i]["audio"].get<std::string>())->size(), 4096u);
    }

    pushAndSync(itemCreated(message("A", "assistant", {audioContent("audio")})));
    pushAndSync(itemCreated(message("B", "assistant", {audioContent("audio")})));
    pushAndSync(audioDelta("A", wireTone(2400)));
    auto afterA = engine->scheduledFrames(*probe->player());
    pushAndSync(audioDelta("B", wireTone(24000)));
    std::uint64_t rendered = 0;
    while (rendered < afterA + 48000 / 4) rendered += engine->render(480);
    ASSERT_TRUE(support::eventually([&] { return onMain([&] { return conversation->isPlaying().get(); }); }));

    pushAndSync(event("input_audio_buffer.speech_started", {{"audio_start_ms", 500}, {"item_id", "user_1"}}));
    ASSERT_TRUE(realtimeServer.waitForFrames(9));
    auto truncates = sentOfType("conversation.item.truncate");
    ASSERT_EQ(truncates.size(), 1u);
    EXPECT_EQ(truncates[0]["item_id"], "B");
    EXPECT_NEAR(truncates[0]["audio_end_ms"].get<double>(), double(rendered - afterA) * 1000 / 48000, 10);
    EXPECT_TRUE(onMain([&] { return conversation->queuedSamples().empty(); }));
}

TEST_F(ConversationOverWebSocket, DroppingTheConversationClosesTheSocketGoingAwayAndStopsTheEngine) {
    connect();
    onMain([&] { conversation->startListening(); });
    ASSERT_TRUE(engine->waitForTap());
    onMain([&] { conversation->stopListening(); });
    drop();
    EXPECT_EQ(realtimeServer.waitForClientClose(), 1001);
    ASSERT_TRUE(support::eventually([&] { return !engine->isRunning(); }));
    EXPECT_FALSE(engine->hasTap());
}

TEST_F(ConversationOverWebSocket, AConnectionTheServerDropsEndsTheCall) {
    connect();
    realtimeServer.drop();
    ASSERT_TRUE(support::eventually([&] { return !onMain([&] { return conversation->connected().get(); }); }));
    EXPECT_TRUE(onMain([&] { return bool(conversation->connectionError().get()); }));
    EXPECT_THROW(runtime.run([&] { return conversation->waitForConnection(); }), realtime::ConversationError);
}

}  // namespace
}  // namespace conversation_test
