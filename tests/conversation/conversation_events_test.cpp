// How the conversation turns the server's events into its state.

#include "conversation_fixture.hpp"

namespace conversation_test {
namespace {

using realtime::Item;
using Kind = Item::Message::Content::Kind;

// Counts the announcements of every observable field.
struct Announcements {
    int id = 0, session = 0, entries = 0, connected = 0, listening = 0, voice = 0, speaking = 0, playing = 0;
    std::vector<platform::Subscription> subscriptions;

    explicit Announcements(Conversation& c) {
        subscriptions.push_back(c.id().observe([this](auto&) { ++id; }));
        subscriptions.push_back(c.session().observe([this](auto&) { ++session; }));
        subscriptions.push_back(c.entries().observe([this](auto&) { ++entries; }));
        subscriptions.push_back(c.connected().observe([this](auto&) { ++connected; }));
        subscriptions.push_back(c.isListening().observe([this](auto&) { ++listening; }));
        subscriptions.push_back(c.handlingVoice().observe([this](auto&) { ++voice; }));
        subscriptions.push_back(c.isUserSpeaking().observe([this](auto&) { ++speaking; }));
        subscriptions.push_back(c.isPlaying().observe([this](auto&) { ++playing; }));
    }
};

class ConversationEvents : public ConversationTest {
protected:
    void SetUp() override {
        ConversationTest::SetUp();
        announcements = onMain([&] { return std::make_shared<Announcements>(*conversation); });
    }
    void TearDown() override {
        onMain([&] { announcements.reset(); });
        ConversationTest::TearDown();
    }

    std::vector<Item> entries() {
        return onMain([&] { return conversation->entries().get(); });
    }
    Item::Message messageAt(std::size_t index) {
        auto all = entries();
        EXPECT_LT(index, all.size());
        return std::get<Item::Message>(all.at(index).value);
    }
    int entryAnnouncements() {
        return onMain([&] { return announcements->entries; });
    }

    std::shared_ptr<Announcements> announcements;
};

TEST_F(ConversationEvents, SessionCreatedConnectsOnceAndASecondSessionIsAnnouncedOnlyWhenItDiffers) {
    EXPECT_FALSE(onMain([&] { return conversation->connected().get(); }));
    connect();
    pushAndSync(event("session.created", {{"session", sessionObject()}}));
    onMain([&] {
        EXPECT_TRUE(conversation->connected().get());
        ASSERT_TRUE(conversation->session().get());
        EXPECT_EQ(conversation->session().get()->instructions, "Be brief.");
        EXPECT_EQ(announcements->connected, 1);
        EXPECT_EQ(announcements->session, 1);
    });

    pushAndSync(event("session.updated", {{"session", sessionObject("Be kind.")}}));
    onMain([&] {
        EXPECT_EQ(conversation->session().get()->instructions, "Be kind.");
        EXPECT_EQ(announcements->session, 2);
    });
}

TEST_F(ConversationEvents, ARepeatedConversationIdIsStoredSilently) {
    pushAndSync(event("conversation.created", {{"conversation", {{"id", "conv_1"}}}}));
    const int before = onMain([&] { return announcements->id; });
    // sync() moves the id on, so set it back and repeat it.
    server->push(event("conversation.created", {{"conversation", {{"id", "conv_1"}}}}));
    server->push(event("conversation.created", {{"conversation", {{"id", "conv_1"}}}}));
    ASSERT_TRUE(support::eventually([&] { return onMain([&] { return conversation->id().get() == "conv_1"; }); }));
    sync();
    // conv_1, then its repeat (silent), then the sync marker.
    EXPECT_EQ(onMain([&] { return announcements->id; }) - before, 2);
}

TEST_F(ConversationEvents, ResponseEventsBuildTheMessageInPlace) {
    pushAndSync(itemCreated(message("msg_1", "assistant", json::array())));
    pushAndSync(event("response.content_part.added", partOf("msg_1", 0, {{"part", audioContent("audio")}})));
    pushAndSync(event("response.content_part.added", partOf("msg_1", 0, {{"part", textContent("text", "")}})));
    // content: [text "", audio]
    pushAndSync(event("response.text.delta", partOf("msg_1", 0, {{"delta", "Hel"}})));
    pushAndSync(event("response.text.delta", partOf("msg_1", 0, {{"delta", "lo"}})));
    pushAndSync(event("response.audio_transcript.delta", partOf("msg_1", 1, {{"delta", "Hi "}})));
    pushAndSync(event("response.audio_transcript.delta", partOf("msg_1", 1, {{"delta", "there"}})));
    pushAndSync(audioDelta("msg_1", {1, 2, 3, 4}, 1));
    pushAndSync(audioDelta("msg_1", {5, 6}, 1));

    auto built = messageAt(0);
    ASSERT_EQ(built.content.size(), 2u);
    EXPECT_EQ(built.content[0], Item::Message::Content::text("Hello"));
    ASSERT_EQ(built.content[1].kind(), Kind::audio);
    EXPECT_EQ(built.content[1].audio()->audio, (realtime::Bytes{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(built.content[1].audio()->transcript, "Hi there");

    pushAndSync(event("response.audio_transcript.done", partOf("msg_1", 1, {{"transcript", "Hi there!"}})));
    EXPECT_EQ(messageAt(0).content[1].audio()->transcript, "Hi there!");
    // A done text replaces the part whatever kind it was.
    pushAndSync(event("response.text.done", partOf("msg_1", 1, {{"text", "Hi there!"}})));
    EXPECT_EQ(messageAt(0).content[1], Item::Message::Content::text("Hi there!"));
    pushAndSync(event("response.content_part.done",
                      partOf("msg_1", 0, {{"part", audioContent("audio", {9}, std::string("done"))}})));
    EXPECT_EQ(messageAt(0).content[0], Item::Message::Content::audio(Item::Audio{{9}, std::string("done")}));

    // The finished item replaces the stored message whole.
    pushAndSync(event("response.output_item.done",
                      {{"response_id", "resp_1"},
                       {"output_index", 0},
                       {"item", message("msg_1", "assistant", {textContent("text", "Final")}, "completed")}}));
    auto done = messageAt(0);
    EXPECT_EQ(done.status, Item::ItemStatus::completed);
    ASSERT_EQ(done.content.size(), 1u);
    EXPECT_EQ(done.content[0], Item::Message::Content::text("Final"));
}

TEST_F(ConversationEvents, EditsThatMissTheirPartChangeNothingButStillAnnounce) {
    pushAndSync(itemCreated(message("msg_1", "assistant", {audioContent("audio", {1})})));
    const auto before = entries();
    const int announced = entryAnnouncements();

    pushAndSync(event("response.text.delta", partOf("msg_1", 0, {{"delta", "x"}})));             // audio part
    pushAndSync(event("response.audio_transcript.delta", partOf("msg_1", 5, {{"delta", "x"}})));  // no part 5
    pushAndSync(event("response.text.done", partOf("msg_1", -1, {{"text", "x"}})));                // no part -1
    pushAndSync(event("response.content_part.added", partOf("msg_1", 2, {{"part", textContent("text", "")}})));
    EXPECT_EQ(entries(), before);
    EXPECT_EQ(entryAnnouncements() - announced, 4);

    // An id no entry has, or an entry of the other kind: nothing changes and nothing is announced.
    pushAndSync(event("response.text.delta", partOf("msg_unknown", 0, {{"delta", "x"}})));
    pushAndSync(event("response.function_call_arguments.delta",
                      {{"response_id", "r"}, {"item_id", "msg_1"}, {"output_index", 0}, {"call_id", "c"}, {"delta", "x"}}));
    // A finished function call whose id matches a message leaves the message as it is.
    pushAndSync(event("response.output_item.done",
                      {{"response_id", "resp_1"}, {"output_index", 0}, {"item", functionCall("msg_1")}}));
    EXPECT_EQ(entries(), before);
    EXPECT_EQ(entryAnnouncements() - announced, 5);
}

TEST_F(ConversationEvents, EditsReachOnlyTheFirstOfTwoEntriesWithOneIdAndDeletionRemovesBoth) {
    pushAndSync(itemCreated(message("dup", "assistant", {textContent("text", "a")})));
    pushAndSync(itemCreated(functionCall("call_item")));
    pushAndSync(itemCreated(message("dup", "assistant", {textContent("text", "b")})));
    pushAndSync(event("response.text.delta", partOf("dup", 0, {{"delta", "!"}})));
    EXPECT_EQ(messageAt(0).content[0], Item::Message::Content::text("a!"));
    EXPECT_EQ(messageAt(2).content[0], Item::Message::Content::text("b"));

    const int announced = entryAnnouncements();
    pushAndSync(event("conversation.item.deleted", {{"item_id", "nobody"}}));
    EXPECT_EQ(entries().size(), 3u);
    EXPECT_EQ(entryAnnouncements() - announced, 1);

    pushAndSync(event("conversation.item.deleted", {{"item_id", "dup"}}));
    auto left = entries();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].id(), "call_item");
}

TEST_F(ConversationEvents, FunctionCallArgumentsAreFoundByItemId) {
    pushAndSync(itemCreated(functionCall("fc_1", "{\"q\":")));
    auto fields = [](json more) {
        more["response_id"] = "resp_1";
        more["item_id"] = "fc_1";
        more["output_index"] = 0;
        more["call_id"] = "another_call_id";
        return more;
    };
    pushAndSync(event("response.function_call_arguments.delta", fields({{"delta", "\"x\"}"}})));
    EXPECT_EQ(std::get<Item::FunctionCall>(entries()[0].value).arguments, "{\"q\":\"x\"}");
    pushAndSync(event("response.function_call_arguments.done", fields({{"arguments", "{}"}})));
    EXPECT_EQ(std::get<Item::FunctionCall>(entries()[0].value).arguments, "{}");
}

TEST_F(ConversationEvents, InputTranscriptionFillsOnlyAnInputAudioPart) {
    pushAndSync(itemCreated(message("user_1", "user", {audioContent("input_audio", {7, 7}), textContent("input_text", "t")})));
    auto completed = [](int index) {
        return event("conversation.item.input_audio_transcription.completed",
                     {{"item_id", "user_1"}, {"content_index", index}, {"transcript", "hello"}});
    };
    pushAndSync(completed(0));
    pushAndSync(completed(1));
    auto transcribed = messageAt(0);
    EXPECT_EQ(transcribed.content[0], Item::Message::Content::input_audio(Item::Audio{{7, 7}, std::string("hello")}));
    EXPECT_EQ(transcribed.content[1], Item::Message::Content::input_text("t"));
    // messages() leaves function calls out.
    pushAndSync(itemCreated(functionCall("fc")));
    pushAndSync(itemCreated(message("asst", "assistant", json::array())));
    auto messages = onMain([&] { return conversation->messages(); });
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].id, "user_1");
    EXPECT_EQ(messages[1].id, "asst");
}

TEST_F(ConversationEvents, IgnoredEventsChangeNothing) {
    pushAndSync(itemCreated(message("msg_1", "assistant", {audioContent("audio")})));
    const auto before = entries();
    onMain([&] { announcements = std::make_shared<Announcements>(*conversation); });
    for (const auto& ignored : {
             event("input_audio_buffer.committed", {{"item_id", "msg_1"}}),
             event("input_audio_buffer.cleared"),
             event("conversation.item.input_audio_transcription.delta",
                   {{"item_id", "msg_1"}, {"content_index", 0}, {"delta", "x"}}),
             event("conversation.item.truncated", {{"item_id", "msg_1"}, {"content_index", 0}, {"audio_end_ms", 5}}),
             event("output_audio_buffer.started", {{"response_id", "resp_1"}}),
             event("output_audio_buffer.stopped", {{"response_id", "resp_1"}}),
             event("response.created", {{"response", {{"id", "resp_1"}, {"status", "in_progress"}, {"output", json::array()}}}}),
             event("response.done", {{"response", {{"id", "resp_1"}, {"status", "completed"}, {"output", json::array()}}}}),
             event("response.output_item.added",
                   {{"response_id", "resp_1"}, {"output_index", 0}, {"item", message("msg_2", "assistant", json::array())}}),
             event("response.audio.done", partOf("msg_1", 0)),
             event("rate_limits.updated", {{"rate_limits", json::array()}}),
         }) {
        server->push(ignored);
    }
    sync();
    EXPECT_EQ(entries(), before);
    onMain([&] {
        EXPECT_EQ(announcements->id, 1);  // the sync marker
        EXPECT_EQ(announcements->session + announcements->entries + announcements->connected +
                      announcements->listening + announcements->voice + announcements->speaking +
                      announcements->playing,
                  0);
    });
}

TEST_F(ConversationEvents, ServerErrorsGoOutOnTheErrorStreamInOrder) {
    server->push(event("error", {{"error", {{"type", "invalid_request_error"}, {"message", "first"}}}}));
    server->push(event("conversation.item.input_audio_transcription.failed",
                       {{"item_id", "i"},
                        {"content_index", 0},
                        {"error", {{"type", "transcription_error"}, {"code", "bad_audio"}, {"message", "second"}}}}));
    sync();
    auto errors = onMain([&] { return conversation->errors(); });
    auto first = runtime.run([&]() -> boost::asio::awaitable<std::optional<realtime::ServerError>> { co_return co_await errors.next(); });
    auto second = runtime.run([&]() -> boost::asio::awaitable<std::optional<realtime::ServerError>> { co_return co_await errors.next(); });
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->message, "first");
    EXPECT_EQ(second->message, "second");
    EXPECT_EQ(second->code, "bad_audio");

    // Dropping the conversation ends the stream.
    drop();
    auto end = runtime.run([&]() -> boost::asio::awaitable<std::optional<realtime::ServerError>> { co_return co_await errors.next(); });
    EXPECT_FALSE(end);
}

TEST_F(ConversationEvents, SpeechEventsWithoutVoiceOnlyMoveTheSpeakingFlag) {
    pushAndSync(itemCreated(message("msg_1", "assistant", {audioContent("audio")})));
    pushAndSync(audioDelta("msg_1", wireTone(480)));
    pushAndSync(event("input_audio_buffer.speech_started", {{"audio_start_ms", 10}, {"item_id", "user_1"}}));
    EXPECT_TRUE(onMain([&] { return conversation->isUserSpeaking().get(); }));
    pushAndSync(event("input_audio_buffer.speech_stopped", {{"audio_end_ms", 900}, {"item_id", "user_1"}}));
    EXPECT_FALSE(onMain([&] { return conversation->isUserSpeaking().get(); }));

    // The delta was stored but not played, and nothing was sent.
    EXPECT_EQ(messageAt(0).content[0].audio()->audio.size(), 960u);
    EXPECT_EQ(engine->counts().starts, 0);
    EXPECT_EQ(onMain([&] { return conversation->queuedSamples(); }), std::vector<std::string>{});
    EXPECT_EQ(wire->sentCount(), 0u);
}

// --- The end of the event stream ---

TEST_F(ConversationEvents, AStreamThatEndsNormallyDisconnects) {
    connect();
    server->finish();
    ASSERT_TRUE(support::eventually([&] { return !onMain([&] { return conversation->connected().get(); }); }));
    EXPECT_FALSE(onMain([&] { return bool(conversation->connectionError().get()); }));
}

TEST_F(ConversationEvents, AStreamThatFailsAfterTheSessionDisconnectsAndPublishesTheFailure) {
    connect();
    server->fail(std::make_exception_ptr(std::runtime_error("connection reset by peer")));
    ASSERT_TRUE(support::eventually([&] { return !onMain([&] { return conversation->connected().get(); }); }));
    auto failure = onMain([&] { return conversation->connectionError().get(); });
    ASSERT_TRUE(failure);
    EXPECT_THROW(std::rethrow_exception(failure), std::runtime_error);
    // Nothing is handled after the failure, and nothing went out on the error stream.
    EXPECT_EQ(onMain([&] { return announcements->connected; }), 2);
}

TEST_F(ConversationEvents, WhenConnectedRunsTheCallbackOnceConnected) {
    connect();
    int calls = 0;
    runtime.run([&]() -> boost::asio::awaitable<void> {
        co_await conversation->whenConnected([&]() -> boost::asio::awaitable<void> {
            ++calls;
            co_return;
        });
    }, 2s);
    EXPECT_EQ(calls, 1);

    // The callback's failure comes back unchanged.
    EXPECT_THROW(runtime.run([&]() -> boost::asio::awaitable<void> {
        co_await conversation->whenConnected([]() -> boost::asio::awaitable<void> {
            throw std::logic_error("callback failed");
            co_return;
        });
    }),
                 std::logic_error);
}

TEST_F(ConversationEvents, WaitingForTheConnectionEndsWhenTheStreamEnds) {
    auto wait = std::async(std::launch::async, [&] {
        runtime.run([&]() -> boost::asio::awaitable<void> { co_await conversation->waitForConnection(); });
    });
    EXPECT_EQ(wait.wait_for(700ms), std::future_status::timeout);
    server->fail(std::make_exception_ptr(std::runtime_error("handshake refused")));
    try {
        wait.get();
        ADD_FAILURE() << "the wait did not fail";
    } catch (const realtime::ConversationError& error) {
        EXPECT_EQ(error.code(), realtime::ConversationError::Code::connectionEnded);
    }
}

TEST_F(ConversationEvents, WaitingForTheConnectionEndsWhenItsTaskIsCancelled) {
    EXPECT_THROW(runtime.run([&]() -> boost::asio::awaitable<void> { co_await conversation->waitForConnection(); }, 700ms),
                 support::TimedOut);
    // The wait holds the conversation only weakly: dropping it ends a wait as well.
    auto wait = std::async(std::launch::async, [&] {
        runtime.run([&]() -> boost::asio::awaitable<void> { co_await conversation->waitForConnection(); });
    });
    std::this_thread::sleep_for(100ms);
    drop();
    EXPECT_THROW(wait.get(), realtime::ConversationError);
}

}  // namespace
}  // namespace conversation_test
