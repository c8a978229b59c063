// The microphone's first words: what is captured from the moment listening starts reaches the
// server whole and in order, also while the connection is still opening. The server counts the
// audio it received against what the tap was handed.

#include <boost/asio/post.hpp>

#include <cstring>
#include <future>

#include "conversation_fixture.hpp"
#include "platform/runtime/print.hpp"
#include "realtime/transport/websocket_connector.hpp"

namespace conversation_test {
namespace {

constexpr std::uint32_t tapFrames = 4096;
const platform::AudioFormat microphoneFormat = platform::AudioFormat::float32(48000, 1);
// Wire frames per tap buffer: 24 kHz from 48 kHz.
constexpr std::uint64_t wireFramesPerBuffer = tapFrames / 2;
// What the resampler holds back, and the frames of its start-up ringing: below half a buffer.
constexpr std::uint64_t resamplerLatency = 1024;

// Buffer `index` of `total` of a rising ramp: after resampling the wire samples still rise, so a
// chunk sent out of order or missing in the middle shows as a fall or a jump.
std::shared_ptr<platform::PcmBuffer> rampBuffer(std::uint64_t index, std::uint64_t total) {
    auto buffer = platform::PcmBuffer::make(microphoneFormat, tapFrames);
    buffer->setFrameLength(tapFrames);
    auto samples = buffer->floatData();
    for (std::uint32_t i = 0; i < tapFrames; ++i) {
        samples[i] = -0.8f + 1.6f * static_cast<float>(index * tapFrames + i) / static_cast<float>(total * tapFrames);
    }
    return buffer;
}

class FirstWords : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("KESTRO_REALTIME_URL", server.baseUrl().c_str(), 1);
        server.holdHandshakes(true);  // the connection stays "opening" until the test lets it
        conversation = runtime.onMain([&] {
            return Conversation::create(runtime.runtime(), "secret-token", "gpt-4o-realtime-preview", engine);
        });
    }
    void TearDown() override {
        runtime.onMain([&] { conversation.reset(); });
    }

    // The wire samples of every append the server received, in arrival order.
    std::vector<std::int16_t> receivedSamples() {
        std::vector<std::int16_t> samples;
        for (const auto& frame : server.frames()) {
            auto message = json::parse(frame.data);
            if (message["type"] != "input_audio_buffer.append") continue;
            auto bytes = realtime::base64Decode(message["audio"].get<std::string>()).value();
            const auto at = samples.size();
            samples.resize(at + bytes.size() / 2);
            std::memcpy(samples.data() + at, bytes.data(), bytes.size() / 2 * 2);
        }
        return samples;
    }
    // Waits until the server has `atLeast` wire frames of audio, then until nothing more comes.
    std::vector<std::int16_t> settledSamples(std::uint64_t atLeast) {
        EXPECT_TRUE(support::eventually([&] { return receivedSamples().size() >= atLeast; }, 15s))
            << "received " << receivedSamples().size() << " of at least " << atLeast << " wire frames";
        std::size_t before = 0;
        std::vector<std::int16_t> samples;
        do {
            before = samples.size();
            std::this_thread::sleep_for(100ms);
            samples = receivedSamples();
        } while (samples.size() != before);
        return samples;
    }

    support::TestRuntime runtime;
    support::RealtimeServer server;
    std::shared_ptr<platform::FakeAudioEngine> engine = std::make_shared<platform::FakeAudioEngine>(microphoneFormat);
    std::shared_ptr<Conversation> conversation;
};

TEST_F(FirstWords, AudioFromTheMomentListeningStartsReachesTheServerInOrderThoughTheConnectionOpensLater) {
    // Every thread of the shared pool is busy while listening starts and the first words are
    // captured: catching them must not wait for a background task.
    std::promise<void> release;
    auto released = release.get_future().share();
    for (int i = 0; i < 2; ++i) boost::asio::post(runtime.shared(), [released] { released.wait(); });

    constexpr std::uint64_t buffers = 24;  // about two seconds
    runtime.onMain([&] { conversation->startListening(); });
    for (std::uint64_t i = 0; i < buffers; ++i) engine->pushInput(rampBuffer(i, buffers));
    engine->waitForInput();
    release.set_value();
    std::this_thread::sleep_for(50ms);  // the sends now wait for the connection
    server.holdHandshakes(false);
    ASSERT_TRUE(server.waitForConnection());

    const auto tapped = buffers * wireFramesPerBuffer;
    const auto received = settledSamples(tapped - resamplerLatency);
    EXPECT_GE(received.size(), tapped - resamplerLatency);
    EXPECT_LE(received.size(), tapped);
    for (std::size_t i = resamplerLatency; i < received.size(); ++i) {
        ASSERT_GE(received[i], received[i - 1] - 64) << "sample " << i << " falls: audio out of order";
        ASSERT_LE(received[i], received[i - 1] + 64) << "sample " << i << " jumps: audio missing";
    }
}

TEST_F(FirstWords, BeforeTheConnectionOpensAMinuteOfTheNewestAudioIsKept) {
    std::vector<std::string> printed;
    std::mutex mutex;
    platform::ScopedPrintSink sink([&](std::string_view line) {
        std::lock_guard lock(mutex);
        printed.emplace_back(line);
    });
    // 64 s of audio where the connection would open within 60 s.
    constexpr std::uint64_t buffers = 750;
    runtime.onMain([&] { conversation->startListening(); });
    for (std::uint64_t i = 0; i < buffers; ++i) engine->pushInput(rampBuffer(i, buffers));
    engine->waitForInput();
    server.holdHandshakes(false);
    ASSERT_TRUE(server.waitForConnection());

    // The chunk already handed to the connection, then the newest minute.
    const std::uint64_t minute = 60 * 24000;
    const auto received = settledSamples(minute);
    EXPECT_LE(received.size(), minute + 2 * wireFramesPerBuffer);
    EXPECT_GE(received.size(), minute);
    const auto last = rampBuffer(buffers - 1, buffers)->floatData()[tapFrames - 1];
    EXPECT_NEAR(received.back() / 32768.0, last, 0.01) << "the newest audio is missing";
    std::lock_guard lock(mutex);
    EXPECT_EQ(printed, std::vector<std::string>{
                           "Microphone audio dropped: the connection does not take it as fast as it is captured."});
}

// A call listens while its credential is still being fetched: the conversation is made without a
// connection and given one later.
class ConnectionGivenLater : public FirstWords {
protected:
    void SetUp() override {
        ::setenv("KESTRO_REALTIME_URL", server.baseUrl().c_str(), 1);
        conversation = runtime.onMain([&] { return Conversation::createUnconnected(runtime.runtime(), engine); });
    }
};

TEST_F(ConnectionGivenLater, WhatWasCapturedBeforeTheConnectionGoesOutFirstAndInOrder) {
    constexpr std::uint64_t buffers = 24;  // the first half while the credential is fetched
    runtime.onMain([&] { conversation->startListening(); });
    for (std::uint64_t i = 0; i < buffers / 2; ++i) engine->pushInput(rampBuffer(i, buffers));
    engine->waitForInput();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(server.connectionCount(), 0u);
    // Nothing can be sent yet; a send says so instead of waiting.
    EXPECT_THROW(runtime.run([&]() -> boost::asio::awaitable<void> {
                     co_await conversation->send(realtime::ClientEvent::commitInputAudioBuffer(std::nullopt));
                 }),
                 realtime::ConversationError);

    runtime.onMain([&] { conversation->connect("secret-token", "gpt-4o-realtime-preview"); });
    ASSERT_TRUE(server.waitForConnection());
    EXPECT_EQ(server.handshake().header("Authorization"), "Bearer secret-token");
    // A second connect is refused before a connection is made for it.
    const auto liveConnections = realtime::WebSocketConnector::openConnections();
    EXPECT_THROW(runtime.onMain([&] { conversation->connect("again", "gpt-4o-realtime-preview"); }), std::logic_error);
    EXPECT_EQ(realtime::WebSocketConnector::openConnections(), liveConnections);
    for (std::uint64_t i = buffers / 2; i < buffers; ++i) engine->pushInput(rampBuffer(i, buffers));
    engine->waitForInput();

    const auto tapped = buffers * wireFramesPerBuffer;
    const auto received = settledSamples(tapped - resamplerLatency);
    EXPECT_LE(received.size(), tapped);
    for (std::size_t i = resamplerLatency; i < received.size(); ++i) {
        ASSERT_GE(received[i], received[i - 1] - 64) << "sample " << i << " falls: audio out of order";
        ASSERT_LE(received[i], received[i - 1] + 64) << "sample " << i << " jumps: audio missing";
    }
    // Only audio was sent: the failed send left nothing behind.
    for (const auto& frame : server.frames()) EXPECT_EQ(json::parse(frame.data)["type"], "input_audio_buffer.append");

    // The refused second connect opened no connection of its own (it would have carried its
    // credential to the service, and taken the events below).
    EXPECT_EQ(server.connectionCount(), 1u);

    // The connection is the conversation's own from now on: its session connects it.
    server.sendText(support::serverEvent("session.created", {{"session", support::realtimeSession(false)}}).dump());
    EXPECT_TRUE(support::eventually([&] { return runtime.onMain([&] { return conversation->connected().get(); }); }));
}

}  // namespace
}  // namespace conversation_test
