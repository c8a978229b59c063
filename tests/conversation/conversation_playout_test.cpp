// The playout buffer in front of the player, the audio of an interrupted item, and answers sent as
// the real service sends them (generated faster than they play, or at real-time pace with jitter),
// played by an output that takes audio in real time.

#include "conversation_fixture.hpp"

#include "support/process_memory.hpp"
#include "support/real_time_output.hpp"

namespace conversation_test {
namespace {

using Clock = std::chrono::steady_clock;
using support::ServiceBehaviour;
using support::SpokenAnswer;

class ConversationPlayout : public ConversationTest {
protected:
    void startListening() {
        onMain([&] { conversation->startListening(); });
        ASSERT_TRUE(engine->waitForTap());
    }
    void answerItem(const std::string& id) { pushAndSync(itemCreated(message(id, "assistant", {audioContent("audio")}))); }
    bool playerPlays() { return probe->player()->isPlaying(); }
    std::uint64_t scheduled() { return engine->scheduledFrames(*probe->player()); }
    std::vector<json> truncations() { return sent("conversation.item.truncate"); }
    // The player's position: every frame the output took from it, in milliseconds.
    double playedMs() {
        auto time = probe->player()->lastRenderTime();
        return time ? double(time->sampleTime) * 1000 / time->sampleRate : -1;
    }
};

// 40 ms of wire audio.
const auto fortyMs = [] { return wireTone(960); };

TEST_F(ConversationPlayout, AnAnswerStartsOnceItsLeadHasPassedOrTwiceThatIsQueued) {
    startListening();
    answerItem("A");
    const auto first = Clock::now();
    pushAndSync(audioDelta("A", fortyMs()));
    pushAndSync(audioDelta("A", fortyMs()));
    const bool heldBack = !playerPlays();
    ASSERT_TRUE(support::eventually([&] { return playerPlays(); }));
    const auto started = Clock::now() - first;
    EXPECT_TRUE(heldBack);
    EXPECT_GE(started, 120ms);
    EXPECT_LT(started, 1s);

    // Once playing, each delta plays on as it comes, without waiting.
    engine->render(3000);
    pushAndSync(audioDelta("A", fortyMs()));
    EXPECT_TRUE(playerPlays());
    EXPECT_EQ(probe->player()->underrunCount(), 0u);

    // An answer arriving faster than it plays starts once 260 ms are queued.
    pushAndSync(speechStarted());
    answerItem("B");
    const auto firstOfB = Clock::now();
    for (int i = 0; i < 7; ++i) pushAndSync(audioDelta("B", fortyMs()));
    // Held back until then, unless a slow (sanitizer) build took past the lead to hand them over.
    if (Clock::now() - firstOfB < 100ms) {
        EXPECT_FALSE(playerPlays()) << "the resampler holds some of the 280 ms back";
    }
    pushAndSync(audioDelta("B", fortyMs()));
    EXPECT_TRUE(playerPlays());
}

TEST_F(ConversationPlayout, AfterRunningDryThePlayerWaitsForTheBufferOrTheEndOfTheAudio) {
    startListening();
    answerItem("A");
    pushAndSync(audioDelta("A", wireTone(3600)));  // 150 ms
    ASSERT_TRUE(support::eventually([&] { return playerPlays(); }));
    engine->render(9600);  // all of it, and 50 ms of nothing: a gap
    ASSERT_TRUE(support::eventually([&] { return !playerPlays(); }));
    EXPECT_EQ(probe->player()->underrunCount(), 0u);

    // The late delta is held back (for the lead, 130 ms)...
    pushAndSync(audioDelta("A", fortyMs()));
    EXPECT_FALSE(playerPlays());
    EXPECT_EQ(probe->player()->underrunCount(), 1u);
    pushAndSync(audioDelta("A", fortyMs()));
    EXPECT_FALSE(playerPlays());
    // ...or until the service says the item's audio is complete.
    pushAndSync(event("response.audio.done", partOf("A", 0)));
    EXPECT_TRUE(playerPlays());
    EXPECT_EQ(onMain([&] { return conversation->queuedSamples(); }), (std::vector<std::string>{"A", "A"}));

    // A short answer of its own plays when its audio is done.
    engine->render(4800);
    ASSERT_TRUE(support::eventually([&] { return !playerPlays(); }));
    answerItem("B");
    pushAndSync(audioDelta("B", fortyMs()));
    EXPECT_FALSE(playerPlays());
    pushAndSync(event("response.done", {{"response", {{"id", "resp_1"}, {"object", "realtime.response"}, {"status", "completed"},
                                                      {"output", {message("B", "assistant", json::array(), "completed")}}}}}));
    EXPECT_TRUE(playerPlays());
}

TEST_F(ConversationPlayout, AnInterruptionStopsAHeldBackAnswerAtOnceAndTruncatesWhatWasHeard) {
    startListening();
    answerItem("A");
    pushAndSync(audioDelta("A", wireTone(4800)));  // 200 ms
    ASSERT_TRUE(support::eventually([&] { return playerPlays(); }));
    engine->render(9600 + 480);                    // played, then ran dry
    ASSERT_TRUE(support::eventually([&] { return !playerPlays(); }));
    const double heard = playedMs();
    pushAndSync(audioDelta("A", fortyMs()));       // held back
    ASSERT_TRUE(support::eventually([&] { return onMain([&] { return conversation->isPlaying().get(); }); }));
    pushAndSync(speechStarted());
    EXPECT_EQ(scheduled(), 0u);
    EXPECT_FALSE(playerPlays());
    ASSERT_TRUE(support::eventually([&] { return truncations().size() == 1; }));
    EXPECT_EQ(truncations()[0]["item_id"], "A");
    EXPECT_NEAR(truncations()[0]["audio_end_ms"].get<double>(), heard, 1);
    EXPECT_GT(heard, 150);
}

TEST_F(ConversationPlayout, DeltasOfAnInterruptedItemStillOnTheirWayAreDroppedAndTheNextItemPlays) {
    startListening();
    answerItem("A");
    pushAndSync(audioDelta("A", wireTone(12000)));
    engine->render(4800);
    ASSERT_TRUE(support::eventually([&] { return onMain([&] { return conversation->isPlaying().get(); }); }));
    pushAndSync(speechStarted());
    ASSERT_TRUE(support::eventually([&] { return truncations().size() == 1; }));

    // The rest of A was already on its way.
    for (int i = 0; i < 5; ++i) pushAndSync(audioDelta("A", wireTone(2400)));
    EXPECT_EQ(scheduled(), 0u);
    EXPECT_TRUE(onMain([&] { return conversation->queuedSamples().empty(); }));
    EXPECT_FALSE(playerPlays());
    // A is still stored whole: only its playback stopped.
    auto stored = onMain([&] { return conversation->messages()[0].content[0].audio()->audio.size(); });
    EXPECT_EQ(stored, (12000u + 5 * 2400u) * 2);

    answerItem("B");
    pushAndSync(audioDelta("B", wireTone(2880)));
    EXPECT_TRUE(support::eventually([&] { return playerPlays(); }));
    EXPECT_EQ(onMain([&] { return conversation->queuedSamples(); }), std::vector<std::string>{"B"});
}

// As the service answers: six seconds of speech arrive within about one, followed at once by the
// events that settle the item, and the user speaks up two seconds into the answer.
TEST_F(ConversationPlayout, SpeakingUpTwoSecondsIntoAFastAnswerTruncatesItAtWhatWasPlayed) {
    server.setBehaviour(ServiceBehaviour::fastAnswers());
    connect();
    startListening();
    support::RealTimeOutput output(engine);
    server.sendAnswer(SpokenAnswer::lasting(6s));
    const auto answer = server.waitForAnswerSent();
    ASSERT_TRUE(answer);
    EXPECT_LT(answer->done - answer->firstDelta, 1500ms);

    std::this_thread::sleep_until(answer->firstDelta + 2s);
    pushAndSync(speechStarted());
    ASSERT_TRUE(support::eventually([&] { return truncations().size() == 1; }));
    output.stop();
    const auto truncation = truncations()[0];
    EXPECT_EQ(truncation["item_id"], "item_answer");
    const double played = playedMs();
    const auto audioEndMs = truncation["audio_end_ms"].get<std::int64_t>();
    std::printf("fast answer, speech at 2 s: audio_end_ms %lld, player position %.0f ms\n",
                static_cast<long long>(audioEndMs), played);
    EXPECT_NEAR(double(audioEndMs), played, 50);
    EXPECT_GT(played, 1700);
}

TEST_F(ConversationPlayout, AnAnswerAtRealTimePaceWithJitterPlaysWithoutAGap) {
    server.setBehaviour(ServiceBehaviour::realTimePace(30ms));
    connect();
    startListening();
    support::RealTimeOutput output(engine);
    server.sendAnswer(SpokenAnswer::lasting(2400ms));
    const auto firstDelta = server.waitForSent("response.audio.delta");
    ASSERT_TRUE(firstDelta);
    ASSERT_TRUE(support::eventually([&] { return playerPlays(); }));
    const auto started = Clock::now();
    ASSERT_TRUE(server.waitForSent("response.done"));
    // All of it, less what the resampler holds back.
    ASSERT_TRUE(support::eventually([&] { return playedMs() >= 2400 - 50; }, 5s)) << playedMs();
    output.stop();
    const auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(started - *firstDelta);
    std::printf("real-time pace +-30 ms: %llu underruns, playback started %lld ms after the first delta\n",
                static_cast<unsigned long long>(probe->player()->underrunCount()), static_cast<long long>(delay.count()));
    // A sanitizer build runs the conversation and the output too slowly for real time: there the
    // figures are printed, not held to their bounds.
    if (!support::underSanitizer()) {
        EXPECT_EQ(probe->player()->underrunCount(), 0u);
        EXPECT_LE(delay, 150ms);
    }
}

}  // namespace
}  // namespace conversation_test
