// The operations that send client events.

#include "conversation_fixture.hpp"

namespace conversation_test {
namespace {

using realtime::Item;
using realtime::Session;

class ConversationSend : public ConversationTest {
protected:
    template <class F>
    void run(F operation) {
        runtime.run([&]() -> boost::asio::awaitable<void> { co_await operation(); });
    }
};

TEST_F(ConversationSend, UpdatingTheSessionBeforeOneExistsFailsAndSendsNothing) {
    bool edited = false;
    try {
        run([&] { return conversation->updateSession([&](Session&) { edited = true; }); });
        ADD_FAILURE() << "updateSession did not fail";
    } catch (const realtime::ConversationError& error) {
        EXPECT_EQ(error.code(), realtime::ConversationError::Code::sessionNotFound);
    }
    EXPECT_FALSE(edited);
    EXPECT_EQ(wire->sentCount(), 0u);
}

TEST_F(ConversationSend, UpdatingTheSessionSendsTheEditedCopyWithoutItsId) {
    connect();
    run([&] {
        return conversation->updateSession([](Session& session) {
            session.inputAudioTranscription = Session::InputAudioTranscription{};
        });
    });
    auto updates = wire->sentOfType("session.update");
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(wire->sentCount(), 1u);
    const auto& session = updates[0]["session"];
    EXPECT_FALSE(session.contains("id"));
    EXPECT_EQ(session["input_audio_transcription"], json({{"model", "whisper-1"}}));
    EXPECT_EQ(session["instructions"], "Be brief.");
    // The known session changes only when the server says so.
    EXPECT_FALSE(onMain([&] { return conversation->session().get()->inputAudioTranscription.has_value(); }));

    auto withId = onMain([&] { return *conversation->session().get(); });
    ASSERT_TRUE(withId.id);
    run([&] { return conversation->setSession(withId); });
    EXPECT_FALSE(wire->sentOfType("session.update").at(1)["session"].contains("id"));
}

TEST_F(ConversationSend, AudioIsAppendedAndCommittedOnRequest) {
    run([&] { return conversation->send(realtime::Bytes{1, 2, 3}); });
    run([&] { return conversation->send(realtime::Bytes{4}, true); });
    auto sent = wire->sentEvents();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0], json({{"type", "input_audio_buffer.append"}, {"audio", "AQID"}}));
    EXPECT_EQ(sent[1], json({{"type", "input_audio_buffer.append"}, {"audio", "BA=="}}));
    EXPECT_EQ(sent[2], json({{"type", "input_audio_buffer.commit"}}));
}

TEST_F(ConversationSend, ATextMessageIsCreatedAndAResponseAskedFor) {
    run([&] { return conversation->send(Item::ItemRole::user, "What time is it?"); });
    auto sent = wire->sentEvents();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0]["type"], "conversation.item.create");
    EXPECT_FALSE(sent[0].contains("previous_item_id"));
    const auto& item = sent[0]["item"];
    const auto id = item["id"].get<std::string>();
    EXPECT_EQ(id.size(), 32u);
    EXPECT_EQ(id.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"), std::string::npos);
    EXPECT_EQ(item["type"], "message");
    EXPECT_EQ(item["status"], "completed");
    EXPECT_EQ(item["role"], "user");
    EXPECT_EQ(item["content"], json::array({{{"type", "input_text"}, {"text", "What time is it?"}}}));
    EXPECT_EQ(sent[1], json({{"type", "response.create"}}));
    // The item itself arrives with the server's "conversation.item.created".
    EXPECT_TRUE(onMain([&] { return conversation->entries().get().empty(); }));
}

TEST_F(ConversationSend, AFunctionResultIsOneItem) {
    run([&] { return conversation->send(Item::FunctionCallOutput("out_1", "call_1", "{\"ok\":true}")); });
    auto sent = wire->sentEvents();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0]["item"], json({{"id", "out_1"}, {"type", "function_call_output"}, {"call_id", "call_1"},
                                     {"output", "{\"ok\":true}"}}));
}

TEST_F(ConversationSend, TheFirstFailedSendEndsTheOperation) {
    {
        std::lock_guard lock(wire->mutex);
        wire->failSends = true;
    }
    EXPECT_THROW(run([&] { return conversation->send(Item::ItemRole::user, "hello"); }), std::runtime_error);
    EXPECT_THROW(run([&] { return conversation->send(realtime::Bytes{1}, true); }), std::runtime_error);
    EXPECT_EQ(wire->sentCount(), 0u);
}

TEST_F(ConversationSend, ATextMessageInterruptsTheModelsSpeechFirst) {
    onMain([&] { conversation->startListening(); });
    pushAndSync(itemCreated(message("A", "assistant", {audioContent("audio")})));
    pushAndSync(audioDelta("A", wireTone(4800)));
    engine->render(960);
    ASSERT_TRUE(support::eventually([&] { return onMain([&] { return conversation->isPlaying().get(); }); }));

    run([&] { return conversation->send(Item::ItemRole::user, "Stop."); });
    EXPECT_TRUE(onMain([&] { return conversation->queuedSamples().empty(); }));
    ASSERT_TRUE(support::eventually([&] { return wire->sentOfType("conversation.item.truncate").size() == 1; }));
    auto truncate = wire->sentOfType("conversation.item.truncate")[0];
    EXPECT_EQ(truncate["item_id"], "A");
    EXPECT_NEAR(truncate["audio_end_ms"].get<double>(), 20, 10);
    EXPECT_EQ(wire->sentOfType("conversation.item.create").size(), 1u);
    EXPECT_EQ(wire->sentOfType("response.create").size(), 1u);
}

}  // namespace
}  // namespace conversation_test
