// The real `kestro` binary in a call on each sound server a desktop runs, PulseAudio and PipeWire
// (pipewire-pulse), the server owned by the case: an answer at real-time pace plays beside a plain
// pacat fed the same way; the server taken away for 2 s and brought back leaves a call that hears
// the user again and plays the next answer; a server back before the headset's microphone never
// lets the service hear the call's own answer through the headset's monitor; a server gone for
// good ends the call with its transcript posted.

#include "e2e-app/installed_app.hpp"
#include "e2e-app/headset_recording.hpp"

#include <cmath>
#include <cstdio>
#include <iostream>

namespace {

using namespace e2e_app;
using support::ServiceBehaviour;
using support::SoundServerKind;
using support::SpokenAnswer;
using Clock = std::chrono::steady_clock;

class SoundServerCall : public InstalledApp, public ::testing::WithParamInterface<SoundServerKind> {
protected:
    std::optional<SoundServerKind> ownSoundServer() const override { return GetParam(); }
    const char* server() const { return support::soundServerName(GetParam()); }

    // Records what the headset plays into `name`, from now until the returned process goes.
    std::unique_ptr<e2e::ChildProcess> recordHeadset(const std::string& name) {
        return e2e_app::recordHeadset(pulseServer(), root / name, root / (name + ".log"));
    }

    // The headset's recording of a 4 s answer sent at real-time pace with jitter.
    Played answerAtRealTimePace(SpokenAnswer answer, const std::string& name) {
        auto recorder = recordHeadset(name);
        std::this_thread::sleep_for(500ms);
        realtime.setBehaviour(ServiceBehaviour::realTimePace(30ms));
        realtime.sendAnswer(answer);
        std::this_thread::sleep_for(4s + 1500ms);
        recorder.reset();
        return analyse(fileText(root / name));
    }

    // The same tone fed to a plain pacat in 100 ms pieces at real-time pace, as recorded.
    Played pacatAtRealTimePace(const std::string& name) {
        auto recorder = recordHeadset(name);
        std::this_thread::sleep_for(500ms);
        const auto tone = SpokenAnswer::tone(4s);
        FILE* pacat = ::popen(("env PULSE_SERVER='" + pulseServer() +
                               "' pacat --raw --format=s16le --rate=24000 --channels=1 --device=kestro_headset "
                               "2>/dev/null")
                                  .c_str(),
                              "w");
        if (!pacat) return {};
        const std::size_t piece = 2400 * 2;  // 100 ms
        auto next = Clock::now();
        for (std::size_t at = 0; at < tone.size(); at += piece) {
            std::fwrite(tone.data() + at, 1, std::min(piece, tone.size() - at), pacat);
            std::fflush(pacat);
            next += 100ms;
            std::this_thread::sleep_until(next);
        }
        ::pclose(pacat);
        std::this_thread::sleep_for(1s);
        recorder.reset();
        return analyse(fileText(root / name));
    }

    // Loud microphone audio among the frames the server received from index `from` on.
    bool microphoneHeardSince(std::size_t from) {
        const auto frames = realtime.frames();
        for (std::size_t i = from; i < frames.size(); ++i) {
            auto message = json::parse(frames[i].data, nullptr, false);
            if (!message.is_object() || message.value("type", "") != "input_audio_buffer.append") continue;
            auto bytes = realtime::base64Decode(message.value("audio", "")).value_or(realtime::Bytes{});
            for (std::size_t at = 0; at + 1 < bytes.size(); at += 2) {
                std::int16_t sample;
                std::memcpy(&sample, bytes.data() + at, 2);
                if (std::abs(static_cast<int>(sample)) > 1000) return true;
            }
        }
        return false;
    }

    static SpokenAnswer answer(const std::string& id, const std::string& previous, const std::string& said) {
        auto made = SpokenAnswer::lasting(4s, said);
        made.itemId = "item_" + id;
        made.responseId = "resp_" + id;
        made.previousItemId = previous;
        return made;
    }

    void measure(const std::string& what, const Played& heard) {
        std::cout << "[ measure  ] " << server() << ", " << what << ": " << heard.sounding().count()
                  << " ms sounding of 4000 ms, " << heard.gaps << " silent 20 ms windows inside\n";
    }
};

TEST_P(SoundServerCall, AnAnswerAtRealTimePacePlaysWholeBesideAPlainPacatAndTheTranscriptIsPosted) {
    if (!onPath("parec") || !onPath("pacat")) GTEST_SKIP() << "parec and pacat are not installed (scripts/install-deps.sh installs them)";
    startCallWithOneExchange();
    if (HasFatalFailure()) return;
    const auto control = pacatAtRealTimePace("pacat.raw");
    const auto heard = answerAtRealTimePace(answer("noon", "item_answer", "It is noon."), "kestro.raw");
    measure("pacat control", control);
    measure("kestro", heard);
    EXPECT_GE(heard.sounding(), 3800ms) << "the answer was not played whole\n" << appLog();
    EXPECT_LE(heard.sounding(), 4200ms);

    keys.chord({x11_test::Keysym::controlL, x11_test::Keysym::m});
    EXPECT_EQ(realtime.waitForClientClose(20s), std::optional<std::uint16_t>(1001)) << appLog();
    ASSERT_TRUE(support::eventually([&] { return !backend.requestsTo("/transcript").empty(); }, 20s)) << appLog();
    EXPECT_EQ(postedTranscripts(), (std::vector<std::vector<std::string>>{
                                       {"user:Is anyone there?", "assistant:I am here.", "assistant:It is noon."}}));
}

TEST_P(SoundServerCall, AfterItsSoundServerRestartsTheCallHearsTheUserAgainAndTheNextAnswerIsHeard) {
    if (!onPath("parec")) GTEST_SKIP() << "parec is not installed (scripts/install-deps.sh installs it)";
    startCallWithOneExchange();
    if (HasFatalFailure()) return;

    soundServer->takeAway();
    std::this_thread::sleep_for(2s);
    ASSERT_EQ(soundServer->bringBack(), "");
    const auto back = Clock::now();
    const auto framesThen = realtime.frames().size();
    ASSERT_TRUE(support::eventually([&] { return microphoneHeardSince(framesThen); }, 3s))
        << "no microphone audio reached the service within 3 s of " << server() << " being back\n" << appLog();
    const auto heardAgain = Clock::now() - back;
    std::cout << "[ measure  ] " << server() << ": microphone audio reached the service "
              << std::chrono::duration_cast<std::chrono::milliseconds>(heardAgain).count()
              << " ms after the server was back\n";
    // Said once the player's stream is open too, a moment after the microphone's.
    EXPECT_TRUE(support::eventually(
        [&] { return appLog().find("lost the connection to the sound server and made it again") != std::string::npos; },
        3s))
        << appLog();

    const auto heard = answerAtRealTimePace(answer("after", "item_answer", "Still here."), "after.raw");
    measure("the answer after the restart", heard);
    EXPECT_GE(heard.sounding(), 3800ms) << "the next answer was not heard whole\n" << appLog();

    keys.chord({x11_test::Keysym::controlL, x11_test::Keysym::m});
    ASSERT_TRUE(support::eventually([&] { return !backend.requestsTo("/transcript").empty(); }, 20s)) << appLog();
    EXPECT_EQ(postedTranscripts(), (std::vector<std::vector<std::string>>{
                                       {"user:Is anyone there?", "assistant:I am here.", "assistant:Still here."}}));
    EXPECT_FALSE(app->waitForExit(0ms)) << "the app ended by itself\n" << appLog();
}

TEST_P(SoundServerCall, BackBeforeTheHeadsetsMicrophoneTheCallDoesNotHearItsOwnAnswerAndHearsTheUserOnceItComes) {
    if (!onPath("parec")) GTEST_SKIP() << "parec is not installed (scripts/install-deps.sh installs it)";
    startCallWithOneExchange();
    if (HasFatalFailure()) return;

    soundServer->takeAway();
    std::this_thread::sleep_for(1s);
    ASSERT_EQ(soundServer->bringBack(false), "");
    bool ok = false;
    const auto output = soundServer->pactl("set-default-source kestro_headset.monitor", &ok);
    ASSERT_TRUE(ok) << output;
    // The answer plays into the headset, whose monitor carries it: none of it reaches the service.
    const auto framesThen = realtime.frames().size();
    const auto heard = answerAtRealTimePace(answer("alone", "item_answer", "Still here."), "alone.raw");
    measure("the answer before the microphone is back", heard);
    EXPECT_GE(heard.sounding(), 3800ms) << "the answer was not heard whole\n" << appLog();
    EXPECT_FALSE(microphoneHeardSince(framesThen)) << "the service heard the call's own answer\n" << appLog();

    ASSERT_EQ(soundServer->addMicrophone(), "");
    const auto back = Clock::now();
    const auto framesBack = realtime.frames().size();
    ASSERT_TRUE(support::eventually([&] { return microphoneHeardSince(framesBack); }, 3s))
        << "no microphone audio reached the service within 3 s of the microphone being back\n" << appLog();
    std::cout << "[ measure  ] " << server() << ": microphone audio reached the service "
              << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - back).count()
              << " ms after the microphone was back\n";

    keys.chord({x11_test::Keysym::controlL, x11_test::Keysym::m});
    ASSERT_TRUE(support::eventually([&] { return !backend.requestsTo("/transcript").empty(); }, 20s)) << appLog();
    EXPECT_EQ(postedTranscripts(), (std::vector<std::vector<std::string>>{
                                       {"user:Is anyone there?", "assistant:I am here.", "assistant:Still here."}}));
}

TEST_P(SoundServerCall, ASoundServerGoneForGoodEndsTheCallWithin12SecondsWithItsTranscriptPosted) {
    startCallWithOneExchange();
    if (HasFatalFailure()) return;
    soundServer->takeAway();
    const auto gone = Clock::now();
    ASSERT_TRUE(support::eventually([&] { return !backend.requestsTo("/transcript").empty(); }, 13s)) << appLog();
    const auto ended = Clock::now() - gone;
    std::cout << "[ measure  ] " << server() << " gone for good: the transcript was posted "
              << std::chrono::duration_cast<std::chrono::milliseconds>(ended).count() << " ms later\n";
    EXPECT_LE(ended, 12s);
    EXPECT_EQ(postedTranscripts(),
              (std::vector<std::vector<std::string>>{{"user:Is anyone there?", "assistant:I am here."}}));
    EXPECT_EQ(realtime.waitForClientClose(10s), std::optional<std::uint16_t>(1001)) << appLog();
    const auto log = appLog();
    EXPECT_NE(log.find("the call is ended, its microphone and speaker are gone"), std::string::npos) << log;
    EXPECT_FALSE(app->waitForExit(0ms)) << "the app ended by itself\n" << appLog();
}

INSTANTIATE_TEST_SUITE_P(OnEachServer, SoundServerCall,
                         ::testing::Values(SoundServerKind::pulseaudio, SoundServerKind::pipewire),
                         [](const auto& info) { return std::string(support::soundServerName(info.param)); });

}  // namespace
