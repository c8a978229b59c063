// The real `kestro` binary against a realtime service that behaves as the real one does: newer than
// this client (a voice, a member and an event type it does not know), answering faster than the
// answer plays, and sending an answer at real-time pace with network jitter. What the headset
// plays is recorded from its sink's monitor.

#include "e2e-app/installed_app.hpp"

#include <iostream>

#include "e2e-app/headset_recording.hpp"
#include "support/newer_service.hpp"

namespace {

using namespace e2e_app;
using support::ServiceBehaviour;
using support::SpokenAnswer;
using Clock = std::chrono::steady_clock;

class AnsweringService : public InstalledApp {
protected:
    // Records what the headset plays, from now until the returned process goes.
    std::unique_ptr<e2e::ChildProcess> recordHeadset() {
        return e2e_app::recordHeadset(pulseServer(), root / "headset.raw", root / "parec.log");
    }

    Played played() { return analyse(fileText(root / "headset.raw")); }

    // A four-second spoken answer to the exchange startCallWithOneExchange() has had.
    static SpokenAnswer noonAnswer() {
        auto answer = SpokenAnswer::lasting(4s, "It is noon.");
        answer.itemId = "item_noon";
        answer.responseId = "resp_noon";
        answer.previousItemId = "item_answer";
        return answer;
    }

    // Ends the call by its shortcut and returns the transcript posted.
    std::vector<std::string> endCall() {
        keys.chord({x11_test::Keysym::controlL, x11_test::Keysym::m});
        EXPECT_EQ(realtime.waitForClientClose(20s), std::optional<std::uint16_t>(1001)) << appLog();
        EXPECT_TRUE(support::eventually([&] { return !backend.requestsTo("/transcript").empty(); }, 20s)) << appLog();
        std::vector<std::string> lines;
        for (const auto& request : backend.requestsTo("/transcript"))
            for (const auto& entry : kestro::decodeTranscriptPayload(request.body).entries)
                lines.push_back(entry.role + ":" + entry.content);
        return lines;
    }

    // Plays a spoken answer paced as `behaviour` says and checks that the headset played it whole.
    void answerAndListen(ServiceBehaviour behaviour, const char* what) {
        realtime.setBehaviour(behaviour);
        startCallWithOneExchange();
        if (HasFatalFailure()) return;
        auto recorder = recordHeadset();
        std::this_thread::sleep_for(500ms);
        realtime.sendAnswer(noonAnswer());
        const auto answered = realtime.waitForSent("response.done", 15s);
        ASSERT_TRUE(answered) << appLog();
        const auto delivered = *answered - *realtime.firstSent("response.audio.delta");
        // Played out, with room for the start and for a loaded machine.
        std::this_thread::sleep_for(4s - std::min<Clock::duration>(delivered, 4s) + 1500ms);
        recorder.reset();
        const auto heard = played();
        std::cout << "[ measure  ] " << what << ": the answer of 4000 ms arrived in "
                  << std::chrono::duration_cast<std::chrono::milliseconds>(delivered).count() << " ms; the headset played "
                  << heard.sounding().count() << " ms of it with " << heard.gaps << " silent 20 ms windows inside\n";
        EXPECT_GE(heard.sounding(), 3800ms) << "the answer was not played whole\n" << appLog();
        EXPECT_LE(heard.sounding(), 4200ms);
        EXPECT_EQ(endCall(), (std::vector<std::string>{"user:Is anyone there?", "assistant:I am here.",
                                                       "assistant:It is noon."}));
        EXPECT_FALSE(app->waitForExit(0ms)) << "the app ended by itself\n" << appLog();
    }
};

// A service newer than this client: "session.created" carries the voice "marin" and a member the
// client does not know, and an event of an unknown type follows. The call connects all the same:
// transcription is switched on with the session as the service gave it, the voice unchanged, and
// the transcript is posted.
TEST_F(AnsweringService, ANewerServiceWithAnUnknownVoiceConnectsAndTheCallGoesOn) {
    realtime.actAsNewerService();
    startCallWithOneExchange();
    if (HasFatalFailure()) return;
    auto update = firstFrame("session.update");
    ASSERT_TRUE(update.has_value());
    EXPECT_EQ((*update)["session"]["voice"], support::kNewerVoice);
    EXPECT_EQ((*update)["session"]["input_audio_transcription"]["model"], "whisper-1");
    EXPECT_TRUE(support::eventually(
        [&] { return appLog().find(support::kNewerEventType) != std::string::npos; }, 10s))
        << "the unknown event type was not reported\n" << appLog();
    EXPECT_EQ(endCall(), (std::vector<std::string>{"user:Is anyone there?", "assistant:I am here."}));
    EXPECT_FALSE(app->waitForExit(0ms)) << "the app ended by itself\n" << appLog();
}

// The service sends an answer six times faster than it plays: the headset plays all of it.
TEST_F(AnsweringService, AnAnswerThatArrivesFasterThanItPlaysIsPlayedWholeAndPosted) {
    if (!onPath("parec")) GTEST_SKIP() << "parec is not installed (scripts/install-deps.sh installs it)";
    answerAndListen(ServiceBehaviour::fastAnswers(), "fast answer");
}

// Over a real network the deltas come at the pace they play, give or take tens of milliseconds.
TEST_F(AnsweringService, AnAnswerAtRealTimePaceWithJitterIsPlayedWholeAndPosted) {
    if (!onPath("parec")) GTEST_SKIP() << "parec is not installed (scripts/install-deps.sh installs it)";
    answerAndListen(ServiceBehaviour::realTimePace(30ms), "real-time pace, +-30 ms");
}

}  // namespace
