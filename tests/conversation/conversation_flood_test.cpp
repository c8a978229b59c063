// A realtime service that floods the conversation: many small events a second, or answer audio
// far beyond anything a call plays. The process keeps its memory bounded and a new call starts
// right after the flooded one ends.

#include "conversation_fixture.hpp"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "support/process_memory.hpp"

namespace conversation_test {
namespace {

constexpr std::size_t rssLimit = 300u << 20;

std::string smallEvent(std::size_t n) {
    return event(n % 2 ? "input_audio_buffer.speech_started" : "input_audio_buffer.speech_stopped",
                 {{"audio_start_ms", n}, {"audio_end_ms", n}, {"item_id", "user"}})
        .dump();
}

class ConversationFlood : public ConversationTest {
protected:
    // The largest resident size seen while waiting for `done`, looking every 20 ms.
    template <class Done>
    std::size_t peakResidentUntil(Done done, std::chrono::milliseconds limit) {
        std::size_t peak = support::residentBytes();
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(20ms);
            peak = std::max(peak, support::residentBytes());
        }
        return peak;
    }

    // Ends the call and starts the next one; returns how long it took until the new call was
    // connected.
    std::chrono::milliseconds endAndStartAnotherCall() {
        const auto connections = server.connectionCount();
        const auto ended = std::chrono::steady_clock::now();
        drop();
        conversation = onMain([&] {
            return Conversation::create(runtime.runtime(), "secret-token", "gpt-4o-realtime-preview", probe);
        });
        EXPECT_TRUE(server.waitForConnection(connections + 1));
        server.sendText(event("session.created", {{"session", support::realtimeSession(false)}}).dump());
        EXPECT_TRUE(support::eventually([&] { return onMain([&] { return conversation->connected().get(); }); }));
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - ended);
    }
};

TEST_F(ConversationFlood, AHundredThousandSmallEventsASecondKeepMemoryFlatAndANewCallStartsPromptly) {
    connect();
    const auto before = support::residentBytes();
    server.flood(smallEvent, 600'000, 100'000);
    // Four seconds into the flood, well before it ends.
    const auto start = std::chrono::steady_clock::now();
    const auto peak = peakResidentUntil([&] { return std::chrono::steady_clock::now() - start > 4s; }, 5s);
    const auto sent = server.floodSent();
    std::printf("%zu events sent in 4 s; resident size %zu MB before, peak %zu MB\n", sent, before >> 20, peak >> 20);
    const auto newCall = endAndStartAnotherCall();
    std::printf("a new call was connected %lld ms after the flooded one ended\n", static_cast<long long>(newCall.count()));
    if (!support::underSanitizer()) {
        EXPECT_LT(peak, rssLimit);
        // The events the app has not handled yet wait in the service's socket, not in the app.
        EXPECT_LT(peak - std::min(peak, before), 64u << 20);
        EXPECT_LT(newCall, 2s);
    }
}

TEST_F(ConversationFlood, ThirtyHugeAudioDeltasKeepTenMinutesAndQueueFiveForPlayback) {
    connect();
    onMain([&] { conversation->startHandlingVoice(); });
    pushAndSync(itemCreated(message("answer", "assistant", {audioContent("audio")})));

    // 12 MB of base64 each: 9 MB of wire audio, 187.5 s. A sanitizer build decodes some twenty
    // times slower: there fourteen of a quarter the size (656 s) pass both bounds as well.
    const std::size_t frames = support::underSanitizer() ? 1'125'000 : 4'500'000;
    const std::size_t deltas = support::underSanitizer() ? 14 : 30;
    const double deltaSeconds = static_cast<double>(frames) / 24'000;
    const auto delta = std::make_shared<const std::string>(audioDelta("answer", wireTone(frames)).dump());
    const auto before = support::residentBytes();
    server.flood([delta](std::size_t) { return *delta; }, deltas);
    const std::string marker = "after_the_deltas";
    server.sendText(event("conversation.created", {{"conversation", {{"id", marker}}}}).dump());
    // The main thread may take its time over each delta; the test waits for it.
    const auto peak = peakResidentUntil(
        [&] { return runtime.onMain([&] { return conversation->id().get() == marker; }, 100s); }, 100s);
    ASSERT_TRUE(onMain([&] { return conversation->id().get() == marker; })) << "the deltas were not all handled";
    std::printf("%zu deltas of %zu MB; resident size %zu MB before, peak %zu MB\n", deltas, delta->size() >> 20,
                before >> 20, peak >> 20);

    const auto kept = onMain([&] {
        const auto& content = std::get<realtime::Item::Message>(conversation->entries().get().at(0).value).content;
        return content.at(0).audio()->audio.size();
    });
    EXPECT_EQ(kept, 600u * 48'000u) << "ten minutes of wire audio";
    // As many deltas wait on the player as fit in five minutes (one of 187.5 s).
    const auto playerRate = probe->player()->outputFormat().sampleRate;
    const auto queuedSeconds = static_cast<double>(engine->scheduledFrames(*probe->player())) / playerRate;
    EXPECT_LE(queuedSeconds, 300.0);
    EXPECT_GT(queuedSeconds, 0.0);
    EXPECT_EQ(onMain([&] { return conversation->queuedSamples().size(); }), std::size_t(300 / deltaSeconds));

    const auto newCall = endAndStartAnotherCall();
    std::printf("a new call was connected %lld ms after the flooded one ended\n", static_cast<long long>(newCall.count()));
    if (!support::underSanitizer()) {
        EXPECT_LT(peak, rssLimit);
        EXPECT_LT(newCall, 2s);
    }
}

}  // namespace
}  // namespace conversation_test
