// How the conversation turns the server's events into its state, and how its connection ends.

#include "conversation_fixture.hpp"

#include <future>

namespace conversation_test {
namespace {

using realtime::Item;
using Content = Item::Message::Content;

// Counts the announcements of the observable fields.
struct Announcements {
    int id = 0, session = 0, entries = 0, connected = 0, others = 0;
    std::vector<platform::Subscription> subscriptions;

    explicit Announcements(const Conversation& c) {
        subscriptions.push_back(c.id().observe([this](auto&) { ++id; }));
        subscriptions.push_back(c.session().observe([this](auto&) { ++session; }));
        subscriptions.push_back(c.entries().observe([this](auto&) { ++entries; }));
        subscriptions.push_back(c.connected().observe([this](auto&) { ++connected; }));
        for (auto* flag : {&c.isListening(), &c.handlingVoice(), &c.isUserSpeaking(), &c.isPlaying()}) {
            subscriptions.push_back(flag->observe([this](auto&) { ++others; }));
        }
    }
};

class ConversationEvents : public ConversationTest {
protected:
    void SetUp() override {
        ConversationTest::SetUp();
        count();
    }
    void TearDown() override {
        onMain([&] { announcements.reset(); });
        ConversationTest::TearDown();
    }
    void count() {
        onMain([&] { announcements = std::make_shared<Announcements>(*conversation); });
    }
    int counted(int Announcements::*field) {
        return onMain([&] { return (*announcements).*field; });
    }
    std::vector<Item> entries() {
        return onMain([&] { return conversation->entries().get(); });
    }
    Item::Message messageAt(std::size_t index) { return std::get<Item::Message>(entries().at(index).value); }

    std::shared_ptr<Announcements> announcements;
};

TEST_F(ConversationEvents, SessionCreatedConnectsOnceAndRepeatedValuesAreStoredSilently) {
    connect();
    connect();
    EXPECT_TRUE(onMain([&] { return conversation->connected().get(); }));
    EXPECT_EQ(counted(&Announcements::connected), 1);
    EXPECT_EQ(counted(&Announcements::session), 1);
    auto kinder = support::realtimeSession(false);
    kinder["instructions"] = "Be kind.";
    pushAndSync(event("session.updated", {{"session", kinder}}));
    EXPECT_EQ(onMain([&] { return conversation->session().get()->instructions; }), "Be kind.");
    EXPECT_EQ(counted(&Announcements::session), 2);

    // A conversation id that is already stored is stored silently.
    const int before = counted(&Announcements::id);
    auto conversationCreated = event("conversation.created", {{"conversation", {{"id", "conv_1"}}}});
    server.sendText(conversationCreated.dump());
    pushAndSync(conversationCreated);
    EXPECT_EQ(counted(&Announcements::id) - before, 2);  // "conv_1" once, then the marker
}

TEST_F(ConversationEvents, ResponseEventsBuildTheMessage) {
    pushAndSync(itemCreated(message("msg_1", "assistant", json::array())));
    for (const auto& e : {
             event("response.content_part.added", partOf("msg_1", 0, {{"part", audioContent("audio")}})),
             event("response.content_part.added", partOf("msg_1", 0, {{"part", textContent("text", "")}})),
             event("response.text.delta", partOf("msg_1", 0, {{"delta", "Hel"}})),
             event("response.text.delta", partOf("msg_1", 0, {{"delta", "lo"}})),
             event("response.audio_transcript.delta", partOf("msg_1", 1, {{"delta", "Hi "}})),
             event("response.audio_transcript.delta", partOf("msg_1", 1, {{"delta", "there"}})),
             audioDelta("msg_1", {1, 2, 3, 4}, 1),
             audioDelta("msg_1", {5, 6}, 1),
         }) {
        server.sendText(e.dump());
    }
    sync();
    auto built = messageAt(0);
    ASSERT_EQ(built.content.size(), 2u);
    EXPECT_EQ(built.content[0], Content::text("Hello"));
    EXPECT_EQ(built.content[1], Content::audio(Item::Audio{{1, 2, 3, 4, 5, 6}, std::string("Hi there")}));

    pushAndSync(event("response.audio_transcript.done", partOf("msg_1", 1, {{"transcript", "Hi!"}})));
    EXPECT_EQ(messageAt(0).content[1].audio()->transcript, "Hi!");
    pushAndSync(event("response.text.done", partOf("msg_1", 1, {{"text", "Hi!"}})));  // replaces any kind
    EXPECT_EQ(messageAt(0).content[1], Content::text("Hi!"));
    pushAndSync(event("response.content_part.done", partOf("msg_1", 0, {{"part", audioContent("audio", {9}, "x")}})));
    EXPECT_EQ(messageAt(0).content[0], Content::audio(Item::Audio{{9}, std::string("x")}));
    pushAndSync(event("response.output_item.done",
                      {{"response_id", "resp_1"}, {"output_index", 0},
                       {"item", message("msg_1", "assistant", {textContent("text", "Final")}, "completed")}}));
    EXPECT_EQ(messageAt(0), Item::Message("msg_1", Item::ItemRole::assistant, {Content::text("Final")}));
}

TEST_F(ConversationEvents, EditsThatMissTheirTargetChangeNothing) {
    pushAndSync(itemCreated(message("dup", "assistant", {audioContent("audio", {1})})));
    pushAndSync(itemCreated(functionCall("call_item", "{")));
    pushAndSync(itemCreated(message("dup", "assistant", {textContent("text", "b")})));
    const auto before = entries();
    const int announced = counted(&Announcements::entries);

    // A part of another kind, or outside the content: the entry is written back unchanged.
    pushAndSync(event("response.text.delta", partOf("dup", 0, {{"delta", "x"}})));
    pushAndSync(event("response.audio_transcript.delta", partOf("dup", 5, {{"delta", "x"}})));
    pushAndSync(event("response.text.done", partOf("dup", -1, {{"text", "x"}})));
    pushAndSync(event("response.content_part.added", partOf("dup", 2, {{"part", textContent("text", "")}})));
    EXPECT_EQ(counted(&Announcements::entries) - announced, 4);
    // An id no entry has, an entry of the other kind, a finished function call under a message's id.
    pushAndSync(event("response.text.delta", partOf("nobody", 0, {{"delta", "x"}})));
    pushAndSync(event("response.function_call_arguments.delta",
                      {{"response_id", "r"}, {"item_id", "dup"}, {"output_index", 0}, {"call_id", "c"}, {"delta", "x"}}));
    pushAndSync(event("response.output_item.done", {{"response_id", "r"}, {"output_index", 0}, {"item", functionCall("dup")}}));
    EXPECT_EQ(counted(&Announcements::entries) - announced, 5);
    EXPECT_EQ(entries(), before);

    // Function calls are found by item id; edits reach only the first entry of an id.
    pushAndSync(event("response.function_call_arguments.delta",
                      {{"response_id", "r"}, {"item_id", "call_item"}, {"output_index", 0}, {"call_id", "other"}, {"delta", "}"}}));
    EXPECT_EQ(std::get<Item::FunctionCall>(entries()[1].value).arguments, "{}");
    pushAndSync(event("response.audio_transcript.delta", partOf("dup", 0, {{"delta", "first"}})));
    EXPECT_EQ(messageAt(0).content[0].audio()->transcript, "first");
    EXPECT_EQ(messageAt(2), std::get<Item::Message>(before[2].value));

    // Deleting an id nobody has announces; deleting "dup" removes both.
    pushAndSync(event("conversation.item.deleted", {{"item_id", "nobody"}}));
    EXPECT_EQ(counted(&Announcements::entries) - announced, 8);
    pushAndSync(event("conversation.item.deleted", {{"item_id", "dup"}}));
    ASSERT_EQ(entries().size(), 1u);
    EXPECT_EQ(entries()[0].id(), "call_item");
}

TEST_F(ConversationEvents, InputTranscriptionFillsAnInputAudioPartAndMessagesLeaveCallsOut) {
    pushAndSync(itemCreated(message("user_1", "user", {audioContent("input_audio", {7}), textContent("input_text", "t")})));
    for (int index : {0, 1}) {
        pushAndSync(event("conversation.item.input_audio_transcription.completed",
                          {{"item_id", "user_1"}, {"content_index", index}, {"transcript", "hello"}}));
    }
    EXPECT_EQ(messageAt(0).content, (std::vector<Content>{Content::input_audio(Item::Audio{{7}, std::string("hello")}),
                                                          Content::input_text("t")}));
    pushAndSync(itemCreated(functionCall("fc")));
    pushAndSync(itemCreated(message("asst", "assistant", json::array())));
    auto messages = onMain([&] { return conversation->messages(); });
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].id, "asst");
}

TEST_F(ConversationEvents, IgnoredEventsChangeNothing) {
    pushAndSync(itemCreated(message("msg_1", "assistant", {audioContent("audio")})));
    const auto before = entries();
    count();
    for (const auto& ignored : {
             event("input_audio_buffer.committed", {{"item_id", "msg_1"}}),
             event("input_audio_buffer.cleared"),
             event("conversation.item.input_audio_transcription.delta", {{"item_id", "msg_1"}, {"content_index", 0}, {"delta", "x"}}),
             event("conversation.item.truncated", {{"item_id", "msg_1"}, {"content_index", 0}, {"audio_end_ms", 5}}),
             event("output_audio_buffer.started", {{"response_id", "r"}}),
             event("output_audio_buffer.stopped", {{"response_id", "r"}}),
             event("response.created", {{"response", {{"id", "r"}, {"status", "in_progress"}, {"output", json::array()}}}}),
             event("response.done", {{"response", {{"id", "r"}, {"status", "completed"}, {"output", json::array()}}}}),
             event("response.output_item.added", {{"response_id", "r"}, {"output_index", 0}, {"item", message("m2", "assistant", json::array())}}),
             event("response.audio.done", partOf("msg_1", 0)),
             event("rate_limits.updated", {{"rate_limits", json::array()}}),
         }) {
        server.sendText(ignored.dump());
    }
    sync();
    EXPECT_EQ(entries(), before);
    EXPECT_EQ(counted(&Announcements::id), 1);  // the sync marker
    EXPECT_EQ(onMain([&] { return announcements->session + announcements->entries + announcements->connected +
                                  announcements->others; }), 0);
}

TEST_F(ConversationEvents, ServerErrorsGoOutOnTheErrorStreamUntilTheConversationEnds) {
    server.sendText(event("error", {{"error", {{"type", "invalid_request_error"}, {"message", "first"}}}}).dump());
    server.sendText(event("conversation.item.input_audio_transcription.failed",
                          {{"item_id", "i"}, {"content_index", 0}, {"error", {{"type", "t"}, {"code", "bad"}, {"message", "second"}}}})
                        .dump());
    sync();
    auto errors = onMain([&] { return conversation->errors(); });
    auto next = [&] { return runtime.run([&] { return errors.next(); }); };
    EXPECT_EQ(next()->message, "first");
    EXPECT_EQ(next()->code, "bad");
    drop();
    EXPECT_FALSE(next());
}

TEST_F(ConversationEvents, SpeechWithoutVoiceOnlyMovesTheSpeakingFlagAndDeltasAreOnlyStored) {
    pushAndSync(itemCreated(message("msg_1", "assistant", {audioContent("audio")})));
    pushAndSync(audioDelta("msg_1", wireTone(480)));
    pushAndSync(speechStarted());
    EXPECT_TRUE(onMain([&] { return conversation->isUserSpeaking().get(); }));
    pushAndSync(event("input_audio_buffer.speech_stopped", {{"audio_end_ms", 900}, {"item_id", "user"}}));
    EXPECT_FALSE(onMain([&] { return conversation->isUserSpeaking().get(); }));
    EXPECT_EQ(messageAt(0).content[0].audio()->audio.size(), 960u);
    EXPECT_EQ(engine->counts().starts, 0);
    EXPECT_TRUE(onMain([&] { return conversation->queuedSamples().empty(); }));
    EXPECT_TRUE(server.frames().empty());
}

TEST_F(ConversationEvents, AConnectionLostAfterTheSessionEndsTheCallAndItsWaits) {
    connect();
    int calls = 0;
    runtime.run([&] {
        return conversation->whenConnected([&]() -> boost::asio::awaitable<void> {
            ++calls;
            co_return;
        });
    });
    EXPECT_EQ(calls, 1);

    server.drop();
    ASSERT_TRUE(support::eventually([&] { return !onMain([&] { return conversation->connected().get(); }); }));
    EXPECT_TRUE(onMain([&] { return bool(conversation->connectionError().get()); }));
    EXPECT_EQ(counted(&Announcements::connected), 2);
    EXPECT_THROW(runtime.run([&] { return conversation->waitForConnection(); }), realtime::ConversationError);
}

TEST_F(ConversationEvents, AWaitForTheConnectionEndsWithTheStreamItsTaskOrTheConversation) {
    auto waitInBackground = [&] {
        return std::async(std::launch::async, [&] { runtime.run([&] { return conversation->waitForConnection(); }); });
    };
    auto wait = waitInBackground();
    EXPECT_EQ(wait.wait_for(700ms), std::future_status::timeout);
    server.drop();
    try {
        wait.get();
        ADD_FAILURE() << "the wait did not end";
    } catch (const realtime::ConversationError& error) {
        EXPECT_EQ(error.code(), realtime::ConversationError::Code::connectionEnded);
    }
}

TEST_F(ConversationEvents, AWaitEndsWhenItsTaskIsCancelledOrTheConversationIsDropped) {
    EXPECT_THROW(runtime.run([&] { return conversation->waitForConnection(); }, 700ms), support::TimedOut);
    auto wait = std::async(std::launch::async, [&] { runtime.run([&] { return conversation->waitForConnection(); }); });
    std::this_thread::sleep_for(100ms);
    drop();
    EXPECT_THROW(wait.get(), realtime::ConversationError);
}

}  // namespace
}  // namespace conversation_test
