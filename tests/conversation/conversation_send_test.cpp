// The operations that send client events.

#include "conversation_fixture.hpp"
#include "support/newer_service.hpp"

namespace conversation_test {
namespace {

using realtime::Item;
using realtime::Session;

using ConversationSend = ConversationTest;

TEST_F(ConversationSend, UpdatingTheSessionNeedsOneAndSendsAnEditedCopyWithoutItsId) {
    bool edited = false;
    try {
        runtime.run([&] { return conversation->updateSession([&](Session&) { edited = true; }); });
        ADD_FAILURE() << "updateSession did not fail";
    } catch (const realtime::ConversationError& error) {
        EXPECT_EQ(error.code(), realtime::ConversationError::Code::sessionNotFound);
    }
    EXPECT_FALSE(edited);

    connect();
    EXPECT_TRUE(server.frames().empty());
    runtime.run([&] {
        return conversation->whenConnected([&]() -> boost::asio::awaitable<void> {
            co_await conversation->updateSession(
                [](Session& session) { session.inputAudioTranscription = Session::InputAudioTranscription{}; });
        });
    });
    ASSERT_TRUE(server.waitForFrames(1));
    auto update = sent()[0];
    EXPECT_EQ(update["type"], "session.update");
    EXPECT_FALSE(update["session"].contains("id"));
    EXPECT_EQ(update["session"]["input_audio_transcription"], json({{"model", "whisper-1"}}));
    EXPECT_EQ(update["session"]["instructions"], "Be brief.");
    // The known session changes only when the server says so.
    auto known = onMain([&] { return *conversation->session().get(); });
    EXPECT_FALSE(known.inputAudioTranscription);
    EXPECT_EQ(server.handshake().header("Authorization"), "Bearer secret-token");

    runtime.run([&] { return conversation->setSession(known); });
    ASSERT_TRUE(server.waitForFrames(2));
    EXPECT_FALSE(sent()[1]["session"].contains("id"));
}

// A service newer than the client announces a voice the client does not know: the call still
// counts as connected, and switching transcription on sends that voice back as it came.
TEST_F(ConversationSend, ASessionWithANewVoiceConnectsAndItsUpdateSendsTheVoiceBackUnchanged) {
    server.actAsNewerService();
    connect();
    EXPECT_TRUE(onMain([&] { return conversation->connected().get(); }));
    EXPECT_EQ(onMain([&] { return std::string(conversation->session().get()->voice.rawText()); }),
              support::kNewerVoice);
    runtime.run([&] {
        return conversation->whenConnected([&]() -> boost::asio::awaitable<void> {
            co_await conversation->updateSession([](Session& session) {
                session.inputAudioTranscription = Session::InputAudioTranscription{};
            });
        });
    });
    ASSERT_TRUE(server.waitForFrames(1));
    auto update = sent("session.update").at(0);
    EXPECT_EQ(update["session"]["voice"], support::kNewerVoice);
    EXPECT_EQ(update["session"]["input_audio_transcription"], json({{"model", "whisper-1"}}));
}

TEST_F(ConversationSend, EachOperationSendsItsEventsInOrder) {
    runtime.run([&] { return conversation->send(realtime::Bytes{1, 2, 3}); });
    runtime.run([&] { return conversation->send(realtime::Bytes{4}, true); });
    runtime.run([&] { return conversation->send(Item::ItemRole::user, "What time is it?"); });
    runtime.run([&] { return conversation->send(Item::FunctionCallOutput("out_1", "call_1", "{}")); });
    ASSERT_TRUE(server.waitForFrames(6));
    auto events = sent();
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(events[0], json({{"type", "input_audio_buffer.append"}, {"audio", "AQID"}}));
    EXPECT_EQ(events[1], json({{"type", "input_audio_buffer.append"}, {"audio", "BA=="}}));
    EXPECT_EQ(events[2], json({{"type", "input_audio_buffer.commit"}}));

    EXPECT_EQ(events[3]["type"], "conversation.item.create");
    EXPECT_FALSE(events[3].contains("previous_item_id"));
    auto item = events[3]["item"];
    const auto id = item["id"].get<std::string>();
    EXPECT_EQ(id.size(), 32u);
    item.erase("id");
    EXPECT_EQ(item, json({{"type", "message"}, {"status", "completed"}, {"role", "user"},
                          {"content", {{{"type", "input_text"}, {"text", "What time is it?"}}}}}));
    EXPECT_EQ(events[4], json({{"type", "response.create"}}));
    EXPECT_EQ(events[5]["item"],
              json({{"id", "out_1"}, {"type", "function_call_output"}, {"call_id", "call_1"}, {"output", "{}"}}));
    // Items arrive in the entries with the server's "conversation.item.created" only.
    EXPECT_TRUE(onMain([&] { return conversation->entries().get().empty(); }));
}

TEST_F(ConversationSend, AFailedSendEndsTheOperationWithItsError) {
    server.drop();
    ASSERT_TRUE(support::eventually([&] { return onMain([&] { return bool(conversation->connectionError().get()); }); }));
    EXPECT_ANY_THROW(runtime.run([&] { return conversation->send(Item::ItemRole::user, "hello"); }));
}

}  // namespace
}  // namespace conversation_test
