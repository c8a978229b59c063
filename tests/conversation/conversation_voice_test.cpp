// The microphone, the playback of the model's speech, its interruption and the teardown.

#include "conversation_fixture.hpp"

#include <future>

#include "platform/runtime/print.hpp"
#include "realtime/conversation/audio_conversion.hpp"

namespace conversation_test {
namespace {

using Ids = std::vector<std::string>;

class ConversationVoice : public ConversationTest {
protected:
    void startListening() {
        onMain([&] { conversation->startListening(); });
        ASSERT_TRUE(engine->waitForTap());
    }
    // Starts listening with two answer items A and B.
    void startAnswering() {
        startListening();
        pushAndSync(itemCreated(message("A", "assistant", {audioContent("audio")})));
        pushAndSync(itemCreated(message("B", "assistant", {audioContent("audio")})));
    }
    Ids queue() {
        return onMain([&] { return conversation->queuedSamples(); });
    }
    bool isPlaying() {
        return onMain([&] { return conversation->isPlaying().get(); });
    }
    // Sends a delta for `itemId` and returns the frames of the buffer it scheduled on the player.
    std::uint32_t playDelta(const std::string& itemId, std::size_t wireFrames) {
        auto before = engine->scheduledFrames(*probe->player());
        pushAndSync(audioDelta(itemId, wireTone(wireFrames)));
        return static_cast<std::uint32_t>(engine->scheduledFrames(*probe->player()) - before);
    }
    std::vector<std::pair<std::string, std::int64_t>> truncations() {
        std::vector<std::pair<std::string, std::int64_t>> found;
        for (auto& truncate : sent("conversation.item.truncate")) {
            EXPECT_EQ(truncate["content_index"], 0);
            found.emplace_back(truncate["item_id"].get<std::string>(), truncate["audio_end_ms"].get<std::int64_t>());
        }
        return found;
    }
};

TEST_F(ConversationVoice, EveryMicrophoneBufferBecomesOneAppendInCaptureOrder) {
    startListening();
    EXPECT_EQ(probe->tapBufferSize, 4096u);
    std::vector<std::shared_ptr<platform::PcmBuffer>> captured;
    for (std::uint32_t i = 0; i < 12; ++i) {
        captured.push_back(kestro::test::makeSine(platform::AudioFormat::float32(48000, 1), 4096, 440, 0.5, i * 4096));
        engine->pushInput(captured.back());
    }
    ASSERT_TRUE(server.waitForFrames(12));

    // Each is what a converter of its own makes of the same buffers, one after the other.
    auto reference = platform::AudioConverter::make(captured[0]->format(), Conversation::desiredFormat());
    auto appends = sent("input_audio_buffer.append");
    ASSERT_EQ(appends.size(), 12u);
    for (std::size_t i = 0; i < appends.size(); ++i) {
        auto audio = realtime::base64Decode(appends[i]["audio"].get<std::string>()).value();
        EXPECT_EQ(audio, bytesOf(*realtime::convertBuffer(captured[i], *reference, 2048))) << "chunk " << i;
        EXPECT_TRUE(i < 2 || audio.size() == 4096u) << "chunk " << i << ": " << audio.size();
    }
}

TEST_F(ConversationVoice, AMicrophoneAtTheWireFormatIsSentUnconverted) {
    engine->setInputFormat(Conversation::desiredFormat());
    startListening();
    realtime::Bytes pushed;
    for (int i = 0; i < 5; ++i) {
        auto buffer = platform::PcmBuffer::make(Conversation::desiredFormat(), 4096);
        buffer->setFrameLength(4096);
        auto samples = buffer->int16Data();
        for (std::size_t s = 0; s < samples.size(); ++s) samples[s] = static_cast<std::int16_t>(i * 4096 + s);
        const auto bytes = bytesOf(*buffer);
        pushed.insert(pushed.end(), bytes.begin(), bytes.end());
        engine->pushInput(buffer);
    }
    ASSERT_TRUE(server.waitForFrames(5));
    realtime::Bytes received;
    for (const auto& append : sent("input_audio_buffer.append")) {
        auto audio = realtime::base64Decode(append["audio"].get<std::string>()).value();
        received.insert(received.end(), audio.begin(), audio.end());
    }
    EXPECT_EQ(received, pushed);
}

TEST_F(ConversationVoice, ListeningAgainReinstallsOnlyTheTapAndAStopBeforeTheInstallWins) {
    startListening();
    onMain([&] { conversation->stopListening(); });
    EXPECT_FALSE(engine->hasTap());
    EXPECT_TRUE(engine->isRunning());
    EXPECT_TRUE(onMain([&] { return conversation->handlingVoice().get() && !conversation->isListening().get(); }));
    startListening();
    auto counts = engine->counts();
    EXPECT_EQ(counts.tapInstalls, 2);
    EXPECT_EQ(counts.starts, 1);
    EXPECT_EQ(counts.connects, 1);

    // A stop right after the start must leave no tap.
    for (int i = 0; i < 20; ++i) {
        onMain([&] {
            conversation->stopListening();
            conversation->startListening();
            conversation->stopListening();
        });
    }
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(engine->hasTap());
}

TEST_F(ConversationVoice, StartFailuresLeaveTheFlagsAlone) {
    engine->setConverterCreationFails(true);
    try {
        onMain([&] { conversation->startListening(); });
        ADD_FAILURE() << "startListening() did not fail";
    } catch (const realtime::ConversationError& error) {
        EXPECT_EQ(error.code(), realtime::ConversationError::Code::converterInitializationFailed);
    }
    engine->setConverterCreationFails(false);
    engine->setStartFails(true);
    std::vector<std::string> printed;
    platform::ScopedPrintSink sink([&](std::string_view line) { printed.emplace_back(line); });
    EXPECT_THROW(onMain([&] { conversation->startListening(); }), platform::AudioEngineStartError);
    ASSERT_EQ(printed.size(), 1u);
    EXPECT_EQ(printed[0].rfind("Failed to enable audio engine: ", 0), 0u) << printed[0];
    EXPECT_TRUE(engine->isAttached(*probe->player()));
    EXPECT_FALSE(engine->isConnected(*probe->player()));
    EXPECT_FALSE(onMain([&] { return conversation->isListening().get() || conversation->handlingVoice().get(); }));
    EXPECT_FALSE(engine->hasTap());
}

TEST_F(ConversationVoice, DeltasQueueUpAndDrainAndTheEmptyQueuePausesThePlayer) {
    startAnswering();
    auto a1 = playDelta("A", 4800), a2 = playDelta("A", 4800), b1 = playDelta("B", 4800);
    EXPECT_EQ(queue(), (Ids{"A", "A", "B"}));
    ASSERT_TRUE(support::eventually([&] { return isPlaying(); }));

    engine->render(a1);
    EXPECT_EQ(queue(), (Ids{"A", "B"}));
    engine->render(a2);
    EXPECT_EQ(queue(), (Ids{"B"}));
    engine->render(b1);
    EXPECT_EQ(queue(), Ids{});
    ASSERT_TRUE(support::eventually([&] { return !isPlaying() && !probe->player()->isPlaying(); }));

    // Speech while nothing plays truncates nothing; the next answer plays again (after the
    // playout buffer's lead).
    pushAndSync(speechStarted());
    EXPECT_TRUE(truncations().empty());
    pushAndSync(itemCreated(message("C", "assistant", {audioContent("audio")})));
    playDelta("C", 2880);
    EXPECT_TRUE(support::eventually([&] { return probe->player()->isPlaying(); }));
}

TEST_F(ConversationVoice, SpeechWhileAnAnswerPlaysTruncatesItAtWhatWasHeard) {
    startAnswering();
    auto a1 = playDelta("A", 4800), a2 = playDelta("A", 4800);
    playDelta("B", 24000);
    std::uint64_t rendered = 0;
    while (rendered < a1 + a2 + 48000 * 330 / 1000) rendered += engine->render(480);  // 10 ms steps
    EXPECT_EQ(queue(), (Ids{"B"}));
    ASSERT_TRUE(support::eventually([&] { return isPlaying(); }));

    pushAndSync(speechStarted());
    ASSERT_TRUE(support::eventually([&] { return truncations().size() == 1; }));
    EXPECT_EQ(truncations()[0].first, "B");
    EXPECT_NEAR(double(truncations()[0].second), double(rendered - a1 - a2) * 1000 / 48000, 10);
    EXPECT_EQ(queue(), Ids{});
    EXPECT_FALSE(probe->player()->isPlaying());

    // The dropped buffers report back late, after the next answer queued: nothing of it goes.
    pushAndSync(itemCreated(message("C", "assistant", {audioContent("audio")})));
    playDelta("C", 480);
    engine->runDroppedCompletions();
    sync();
    EXPECT_EQ(queue(), (Ids{"C"}));
    EXPECT_EQ(truncations().size(), 1u);
}

TEST_F(ConversationVoice, ALaterAnswerIsTruncatedByWhatWasHeardOfIt) {
    // The player's clock runs on across answers; the truncation counts from the item's own start.
    startAnswering();
    engine->render(playDelta("A", 12000));
    ASSERT_TRUE(support::eventually([&] { return !probe->player()->isPlaying(); }));
    playDelta("B", 12000);
    ASSERT_TRUE(support::eventually([&] { return isPlaying(); }));
    engine->render(4800);
    pushAndSync(speechStarted());
    ASSERT_TRUE(support::eventually([&] { return truncations().size() == 1; }));
    EXPECT_EQ(truncations()[0].first, "B");
    EXPECT_NEAR(double(truncations()[0].second), 100, 10);
}

TEST_F(ConversationVoice, ATruncationNeverClaimsMoreThanWasReceivedOfTheItem) {
    // The truncation cuts the item's first part; the item plays a second audio part too.
    startListening();
    pushAndSync(itemCreated(message("A", "assistant", {audioContent("audio"), audioContent("audio")})));
    playDelta("A", 1200);                                    // 50 ms of the first part
    pushAndSync(audioDelta("A", wireTone(12000), 1));        // 500 ms of the second
    ASSERT_TRUE(support::eventually([&] { return isPlaying(); }));
    engine->render(9600);  // 200 ms heard
    pushAndSync(speechStarted());
    ASSERT_TRUE(support::eventually([&] { return truncations().size() == 1; }));
    EXPECT_EQ(truncations()[0], (std::pair<std::string, std::int64_t>("A", 50)));
}

TEST_F(ConversationVoice, ATruncationAfterThePartWasSettledCountsTheDeltasReceived) {
    startAnswering();
    playDelta("A", 12000);  // 500 ms
    ASSERT_TRUE(support::eventually([&] { return isPlaying(); }));
    // The service settles the part with its transcript only, as it does: no audio in it.
    pushAndSync(event("response.content_part.done", partOf("A", 0, {{"part", {{"type", "audio"}, {"transcript", "Hi."}}}})));
    engine->render(9600);  // 200 ms heard
    pushAndSync(speechStarted());
    ASSERT_TRUE(support::eventually([&] { return truncations().size() == 1; }));
    EXPECT_EQ(truncations()[0], (std::pair<std::string, std::int64_t>("A", 200)));
}

TEST_F(ConversationVoice, ADeltaArrivingBeforeThePostedPauseKeepsPlaying) {
    startAnswering();
    auto first = playDelta("A", 2880);
    ASSERT_TRUE(support::eventually([&] { return probe->player()->isPlaying(); }));
    // Hold the main executor while the next delta is queued for it and the first buffer ends, so
    // the pause that the completion posts runs after the delta was scheduled.
    std::promise<void> release;
    boost::asio::post(runtime.main(), [released = release.get_future().share()] { released.wait(); });
    // Enough to play at once after the player ran dry (twice the playout lead).
    server.sendText(audioDelta("A", wireTone(7200)).dump());
    std::this_thread::sleep_for(50ms);
    engine->render(first);
    release.set_value();
    sync();
    EXPECT_EQ(queue(), (Ids{"A"}));
    EXPECT_TRUE(probe->player()->isPlaying());
}

TEST_F(ConversationVoice, ATextMessageInterruptsFirstAndAFailedTruncationIsPrinted) {
    startAnswering();
    playDelta("A", 4800);
    ASSERT_TRUE(support::eventually([&] { return probe->player()->isPlaying(); }));
    engine->render(960);
    ASSERT_TRUE(support::eventually([&] { return isPlaying(); }));
    runtime.run([&] { return conversation->send(realtime::Item::ItemRole::user, "Stop."); });
    ASSERT_TRUE(server.waitForFrames(3));
    EXPECT_EQ(truncations(), (std::vector<std::pair<std::string, std::int64_t>>{{"A", 20}}));
    EXPECT_EQ(queue(), Ids{});

    playDelta("B", 4800);
    engine->render(480);
    ASSERT_TRUE(support::eventually([&] { return isPlaying(); }));
    std::mutex mutex;
    std::vector<std::string> printed;
    platform::ScopedPrintSink sink([&](std::string_view line) {
        std::lock_guard lock(mutex);
        printed.emplace_back(line);
    });
    server.drop();
    ASSERT_TRUE(support::eventually([&] { return !onMain([&] { return conversation->connected().get(); }) &&
                                                 onMain([&] { return bool(conversation->connectionError().get()); }); }));
    onMain([&] { conversation->interruptSpeech(); });
    ASSERT_TRUE(support::eventually([&] {
        std::lock_guard lock(mutex);
        return !printed.empty();
    }));
    std::lock_guard lock(mutex);
    EXPECT_EQ(printed[0].rfind("Failed to send automatic truncation event: ", 0), 0u) << printed[0];
}

TEST_F(ConversationVoice, DroppingTheConversationClosesTheSocketGoingAwayAndStopsTheEngine) {
    connect();
    startListening();
    onMain([&] { conversation->stopListening(); });
    drop();
    EXPECT_EQ(server.waitForClientClose(), 1001);
    ASSERT_TRUE(support::eventually([&] { return !engine->isRunning(); }));
    EXPECT_FALSE(engine->isConnected(*probe->player()));
    EXPECT_FALSE(engine->hasTap());
}

}  // namespace
}  // namespace conversation_test
