// The microphone, the playback of the model's speech, its interruption and the teardown.

#include "conversation_fixture.hpp"

#include <future>

#include "platform/runtime/print.hpp"
#include "realtime/conversation/audio_conversion.hpp"

namespace conversation_test {
namespace {

using Ids = std::vector<std::string>;

std::shared_ptr<platform::PcmBuffer> sineBuffer(std::uint32_t frames, std::size_t& phase) {
    auto buffer = platform::PcmBuffer::make(platform::AudioFormat::float32(48000, 1), frames);
    buffer->setFrameLength(frames);
    for (auto& sample : buffer->floatData()) sample = 0.5f * float(std::sin(2 * M_PI * 440 * double(phase++) / 48000));
    return buffer;
}

realtime::Bytes decodedAudio(const json& append) {
    auto bytes = realtime::base64Decode(append["audio"].get<std::string>());
    EXPECT_TRUE(bytes);
    return bytes.value_or(realtime::Bytes{});
}

class ConversationVoice : public ConversationTest {
protected:
    void startListening() {
        onMain([&] { conversation->startListening(); });
        ASSERT_TRUE(engine->waitForTap());
    }
    Ids queue() {
        return onMain([&] { return conversation->queuedSamples(); });
    }
    bool isPlaying() {
        return onMain([&] { return conversation->isPlaying().get(); });
    }
    // Pushes a delta for `itemId` and returns the frames of the buffer it scheduled.
    std::uint64_t playDelta(const std::string& itemId, std::size_t wireFrames) {
        auto before = engine->scheduledFrames(*probe->player());
        pushAndSync(audioDelta(itemId, wireTone(wireFrames)));
        return engine->scheduledFrames(*probe->player()) - before;
    }
};

TEST_F(ConversationVoice, EveryMicrophoneBufferBecomesOneAppendInCaptureOrder) {
    startListening();
    EXPECT_EQ(probe->tapBufferSize, 4096u);
    std::vector<std::shared_ptr<platform::PcmBuffer>> captured;
    std::size_t phase = 0;
    for (int i = 0; i < 12; ++i) {
        captured.push_back(sineBuffer(4096, phase));
        engine->pushInput(captured.back());
    }
    engine->waitForInput();
    ASSERT_TRUE(support::eventually([&] { return wire->sentOfType("input_audio_buffer.append").size() == 12; }));

    // Converted the way a converter of its own converts the same buffers one after the other.
    auto reference = platform::AudioConverter::make(platform::AudioFormat::float32(48000, 1),
                                                    Conversation::desiredFormat());
    auto appends = wire->sentOfType("input_audio_buffer.append");
    for (std::size_t i = 0; i < appends.size(); ++i) {
        EXPECT_FALSE(appends[i].contains("event_id"));
        auto sent = decodedAudio(appends[i]);
        auto expected = realtime::convertBuffer(captured[i], *reference, 2048);
        ASSERT_TRUE(expected);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(expected->data());
        EXPECT_EQ(sent, realtime::Bytes(bytes, bytes + expected->byteSize())) << "chunk " << i;
        // 2048 frames of 16-bit audio once the resampler is past its start-up.
        if (i >= 2) {
            EXPECT_EQ(sent.size(), 4096u) << "chunk " << i;
        }
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
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(buffer->data());
        pushed.insert(pushed.end(), bytes, bytes + buffer->byteSize());
        engine->pushInput(buffer);
    }
    engine->waitForInput();
    ASSERT_TRUE(support::eventually([&] { return wire->sentOfType("input_audio_buffer.append").size() == 5; }));
    realtime::Bytes sent;
    for (const auto& append : wire->sentOfType("input_audio_buffer.append")) {
        auto audio = decodedAudio(append);
        EXPECT_EQ(audio.size(), 8192u);
        sent.insert(sent.end(), audio.begin(), audio.end());
    }
    EXPECT_EQ(sent, pushed);
}

TEST_F(ConversationVoice, StoppingAndStartingToListenReinstallsOnlyTheTap) {
    startListening();
    onMain([&] { conversation->stopListening(); });
    EXPECT_FALSE(engine->hasTap());
    onMain([&] {
        EXPECT_FALSE(conversation->isListening().get());
        EXPECT_TRUE(conversation->handlingVoice().get());
    });
    EXPECT_TRUE(engine->isRunning());
    EXPECT_TRUE(engine->isConnected(*probe->player()));

    startListening();
    auto counts = engine->counts();
    EXPECT_EQ(counts.tapInstalls, 2);
    EXPECT_EQ(counts.starts, 1);
    EXPECT_EQ(counts.attaches, 1);
    EXPECT_EQ(counts.connects, 1);
    EXPECT_TRUE(onMain([&] { return conversation->isListening().get(); }));
}

TEST_F(ConversationVoice, AStopBeforeTheTapIsInstalledLeavesNoTap) {
    // The tap is installed on a background task; stopping at once must not let it land afterwards.
    for (int i = 0; i < 20; ++i) {
        onMain([&] {
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
    EXPECT_EQ(engine->counts().starts, 0);

    engine->setConverterCreationFails(false);
    engine->setStartFails(true);
    std::vector<std::string> printed;
    platform::ScopedPrintSink sink([&](std::string_view line) { printed.emplace_back(line); });
    EXPECT_THROW(onMain([&] { conversation->startListening(); }), platform::AudioError);
    ASSERT_EQ(printed.size(), 1u);
    EXPECT_EQ(printed[0].rfind("Failed to enable audio engine: ", 0), 0u) << printed[0];
    EXPECT_TRUE(engine->isAttached(*probe->player()));
    EXPECT_FALSE(engine->isConnected(*probe->player()));
    onMain([&] {
        EXPECT_FALSE(conversation->isListening().get());
        EXPECT_FALSE(conversation->handlingVoice().get());
    });
    EXPECT_FALSE(engine->hasTap());
}

TEST_F(ConversationVoice, DeltasQueueUpAndDrainAndTheEmptyQueuePausesThePlayer) {
    startListening();
    pushAndSync(itemCreated(message("A", "assistant", {audioContent("audio")})));
    pushAndSync(itemCreated(message("B", "assistant", {audioContent("audio")})));
    auto a1 = playDelta("A", 4800);
    auto a2 = playDelta("A", 4800);
    auto b1 = playDelta("B", 4800);
    EXPECT_EQ(queue(), (Ids{"A", "A", "B"}));
    ASSERT_TRUE(support::eventually([&] { return isPlaying(); }));
    EXPECT_TRUE(probe->player()->isPlaying());

    engine->render(static_cast<std::uint32_t>(a1));
    EXPECT_EQ(queue(), (Ids{"A", "B"}));
    engine->render(static_cast<std::uint32_t>(a2));
    EXPECT_EQ(queue(), (Ids{"B"}));
    engine->render(static_cast<std::uint32_t>(b1));
    EXPECT_EQ(queue(), Ids{});
    ASSERT_TRUE(support::eventually([&] { return !isPlaying() && !probe->player()->isPlaying(); }));

    // The stored audio is every delta, in order.
    auto stored = onMain([&] { return conversation->entries().get(); });
    auto audioOf = [&](std::size_t index) { return std::get<realtime::Item::Message>(stored[index].value).content[0].audio()->audio; };
    EXPECT_EQ(audioOf(0).size(), 2u * 4800 * 2);
    EXPECT_EQ(audioOf(1), wireTone(4800));

    // Speech while nothing plays sends no truncation.
    pushAndSync(event("input_audio_buffer.speech_started", {{"audio_start_ms", 0}, {"item_id", "u"}}));
    EXPECT_TRUE(wire->sentOfType("conversation.item.truncate").empty());

    // The next answer plays again.
    playDelta("B", 480);
    EXPECT_EQ(queue(), (Ids{"B"}));
    EXPECT_TRUE(probe->player()->isPlaying());
}

TEST_F(ConversationVoice, SpeechWhileAnAnswerPlaysTruncatesItAtWhatWasHeard) {
    startListening();
    pushAndSync(itemCreated(message("A", "assistant", {audioContent("audio")})));
    pushAndSync(itemCreated(message("B", "assistant", {audioContent("audio")})));
    auto a1 = playDelta("A", 4800);
    auto a2 = playDelta("A", 4800);
    playDelta("B", 24000);

    // Render in 10 ms steps until 330 ms of B have been heard.
    std::uint64_t rendered = 0;
    while (rendered < a1 + a2 + 48000 * 330 / 1000) rendered += engine->render(480);
    EXPECT_EQ(queue(), (Ids{"B"}));
    ASSERT_TRUE(support::eventually([&] { return isPlaying(); }));

    pushAndSync(event("input_audio_buffer.speech_started", {{"audio_start_ms", 1000}, {"item_id", "user_2"}}));
    ASSERT_TRUE(support::eventually([&] { return wire->sentOfType("conversation.item.truncate").size() == 1; }));
    auto truncate = wire->sentOfType("conversation.item.truncate")[0];
    EXPECT_EQ(truncate["item_id"], "B");
    EXPECT_EQ(truncate["content_index"], 0);
    const double heardOfB = double(rendered - a1 - a2) * 1000 / 48000;
    EXPECT_NEAR(truncate["audio_end_ms"].get<double>(), heardOfB, 10.0);

    EXPECT_EQ(queue(), Ids{});
    EXPECT_FALSE(probe->player()->isPlaying());
    ASSERT_TRUE(support::eventually([&] { return !isPlaying(); }));

    // The stopped buffers report back late, after the next answer has queued: nothing of it goes.
    pushAndSync(itemCreated(message("C", "assistant", {audioContent("audio")})));
    playDelta("C", 480);
    engine->runDroppedCompletions();
    sync();
    EXPECT_EQ(queue(), (Ids{"C"}));
    EXPECT_EQ(wire->sentOfType("conversation.item.truncate").size(), 1u);
}

TEST_F(ConversationVoice, ASecondAnswerIsTruncatedByWhatWasHeardOfIt) {
    // The player's clock keeps counting across answers; the truncation counts from the item's own
    // first buffer.
    startListening();
    pushAndSync(itemCreated(message("A", "assistant", {audioContent("audio")})));
    auto a = playDelta("A", 12000);
    engine->render(static_cast<std::uint32_t>(a));
    ASSERT_TRUE(support::eventually([&] { return !isPlaying() && !probe->player()->isPlaying(); }));

    pushAndSync(itemCreated(message("B", "assistant", {audioContent("audio")})));
    playDelta("B", 12000);
    ASSERT_TRUE(support::eventually([&] { return isPlaying(); }));
    engine->render(4800);  // 100 ms of B
    pushAndSync(event("input_audio_buffer.speech_started", {{"audio_start_ms", 0}, {"item_id", "u"}}));
    ASSERT_TRUE(support::eventually([&] { return wire->sentOfType("conversation.item.truncate").size() == 1; }));
    auto truncate = wire->sentOfType("conversation.item.truncate")[0];
    EXPECT_EQ(truncate["item_id"], "B");
    EXPECT_NEAR(truncate["audio_end_ms"].get<double>(), 100, 10);
}

TEST_F(ConversationVoice, ADeltaArrivingBeforeThePostedPauseKeepsPlaying) {
    startListening();
    pushAndSync(itemCreated(message("A", "assistant", {audioContent("audio")})));
    auto first = playDelta("A", 480);

    // Hold the main executor while the next delta is queued for it and the first buffer ends; the
    // pause its completion posts then runs after the delta was scheduled.
    std::promise<void> release;
    auto released = release.get_future().share();
    boost::asio::post(runtime.main(), [released] { released.wait(); });
    server->push(audioDelta("A", wireTone(480)));
    std::this_thread::sleep_for(50ms);
    engine->render(static_cast<std::uint32_t>(first));
    release.set_value();
    sync();

    EXPECT_EQ(queue(), (Ids{"A"}));
    EXPECT_TRUE(probe->player()->isPlaying());
}

TEST_F(ConversationVoice, AFailedTruncationIsPrinted) {
    startListening();
    pushAndSync(itemCreated(message("A", "assistant", {audioContent("audio")})));
    playDelta("A", 4800);
    engine->render(480);
    ASSERT_TRUE(support::eventually([&] { return isPlaying(); }));
    std::mutex mutex;
    std::vector<std::string> printed;
    platform::ScopedPrintSink sink([&](std::string_view line) {
        std::lock_guard lock(mutex);
        printed.emplace_back(line);
    });
    {
        std::lock_guard lock(wire->mutex);
        wire->failSends = true;
    }
    pushAndSync(event("input_audio_buffer.speech_started", {{"audio_start_ms", 0}, {"item_id", "u"}}));
    ASSERT_TRUE(support::eventually([&] {
        std::lock_guard lock(mutex);
        return !printed.empty();
    }));
    std::lock_guard lock(mutex);
    EXPECT_EQ(printed[0], "Failed to send automatic truncation event: the connection is closed");
}

TEST_F(ConversationVoice, DroppingTheConversationClosesTheConnectionAndStopsTheEngine) {
    connect();
    startListening();
    onMain([&] { conversation->stopListening(); });
    EXPECT_TRUE(engine->isRunning());

    drop();
    {
        std::lock_guard lock(wire->mutex);
        EXPECT_TRUE(wire->destroyed);
        EXPECT_EQ(wire->disconnectCalls, 1);
    }
    ASSERT_TRUE(support::eventually([&] { return !engine->isRunning(); }));
    EXPECT_FALSE(engine->isConnected(*probe->player()));
    EXPECT_FALSE(engine->hasTap());
}

}  // namespace
}  // namespace conversation_test
