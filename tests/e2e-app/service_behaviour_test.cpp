// The real `kestro` binary against a realtime service that behaves as the real one does: newer than
// this client (a voice, a member and an event type it does not know), answering faster than the
// answer plays, and sending an answer at real-time pace with network jitter. What the headset
// plays is recorded from its sink's monitor.

#include "e2e-app/installed_app.hpp"

#include <cmath>
#include <iostream>

#include "support/newer_service.hpp"

namespace {

using namespace e2e_app;
using support::ServiceBehaviour;
using support::SpokenAnswer;
using Clock = std::chrono::steady_clock;

constexpr int recordRate = 24000;
constexpr std::size_t windowFrames = recordRate / 50;  // 20 ms

// The sounding stretch of a recording, in 20 ms windows.
struct Played {
    std::size_t first = 0, last = 0;  // first and one past the last sounding window
    std::size_t gaps = 0;             // silent windows between them
    std::chrono::milliseconds sounding() const { return std::chrono::milliseconds((last - first - gaps) * 20); }
};

class AnsweringService : public InstalledApp {
protected:
    // Records what the headset plays, from now until the returned process goes.
    std::unique_ptr<e2e::ChildProcess> recordHeadset() {
        return std::make_unique<e2e::ChildProcess>(
            std::vector<std::string>{"sh", "-c",
                                     "exec parec --raw --format=s16le --rate=24000 --channels=1 --latency-msec=20 "
                                     "--device=kestro_headset.monitor > '" + (root / "headset.raw").string() + "'"},
            std::map<std::string, std::string>{{"PULSE_SERVER", pulseServer()}}, root / "parec.log");
    }

    Played played() {
        const auto bytes = fileText(root / "headset.raw");
        std::vector<bool> sounding;
        for (std::size_t at = 0; at + windowFrames * 2 <= bytes.size(); at += windowFrames * 2) {
            double sum = 0;
            for (std::size_t i = 0; i < windowFrames; ++i) {
                std::int16_t sample;
                std::memcpy(&sample, bytes.data() + at + i * 2, 2);
                sum += double(sample) * sample;
            }
            sounding.push_back(std::sqrt(sum / windowFrames) > 1000);
        }
        Played result;
        auto first = std::find(sounding.begin(), sounding.end(), true);
        if (first == sounding.end()) return result;
        result.first = static_cast<std::size_t>(first - sounding.begin());
        result.last = sounding.size() - static_cast<std::size_t>(std::find(sounding.rbegin(), sounding.rend(), true) - sounding.rbegin());
        result.gaps = static_cast<std::size_t>(
            std::count(sounding.begin() + static_cast<std::ptrdiff_t>(result.first),
                       sounding.begin() + static_cast<std::ptrdiff_t>(result.last), false));
        return result;
    }

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
