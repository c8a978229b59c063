#include <cmath>
#include <map>
#include <thread>

#include "realtime/model/codec.hpp"
#include "realtime/model/decoding_error.hpp"
#include "support/json.hpp"
#include "transport_fixture.hpp"

namespace transport_test {
namespace {

class Sending : public TransportTest {};

// An audio chunk large enough to travel in several TCP segments, tagged by its event id.
realtime::ClientEvent chunk(const std::string& id) {
    std::vector<std::uint8_t> audio(48 * 1024);
    for (std::size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<std::uint8_t>(i * 31 + id.size());
    return realtime::ClientEvent::appendInputAudioBuffer(id, audio);
}

TEST_F(Sending, TwoHundredSendsStartedWithoutAwaitingArriveWholeInStartOrder) {
    auto connector = connect();  // not yet open: the sends wait for the connection
    std::vector<std::string> expected;
    rt.run([&]() -> asio::awaitable<void> {
        std::vector<asio::awaitable<void>> pending;
        for (int i = 0; i < 200; ++i) {
            auto event = chunk("c" + std::to_string(i));
            expected.push_back(realtime::encode(event));
            pending.push_back(connector->send(event));
        }
        for (auto& send : pending) co_await std::move(send);
    }, 60s);
    ASSERT_TRUE(server.waitForFrames(200));
    auto frames = server.frames();
    ASSERT_EQ(frames.size(), 200u);
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(frames[i].kind, support::ReceivedFrame::Kind::text);
        ASSERT_EQ(frames[i].data, expected[i]) << "frame " << i;
    }
}

TEST_F(Sending, SendsFromSeveralThreadsAtOnceAllArriveIntact) {
    auto connector = connect();
    constexpr int threads = 4, perThread = 50;
    std::vector<std::thread> senders;
    std::atomic<int> failures = 0;
    for (int t = 0; t < threads; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                auto id = "t" + std::to_string(t) + "-" + std::to_string(i);
                try {
                    rt.run(rt.shared(), [&] { return connector->send(chunk(id)); }, 30s);
                } catch (...) {
                    ++failures;
                }
            }
        });
    }
    for (auto& sender : senders) sender.join();
    EXPECT_EQ(failures.load(), 0);
    ASSERT_TRUE(server.waitForFrames(threads * perThread));
    std::map<std::string, std::string> byId;
    for (const auto& frame : server.frames()) {
        auto json = support::Json::parse(frame.data);
        byId[json.at("event_id").get<std::string>()] = frame.data;
    }
    ASSERT_EQ(byId.size(), static_cast<std::size_t>(threads * perThread));
    for (const auto& [id, data] : byId) ASSERT_EQ(data, realtime::encode(chunk(id)));
}

TEST_F(Sending, AnEncodingErrorGoesBackToTheCallerAndTheConnectionCarriesOn) {
    auto connector = connect();
    realtime::Response::Config config;
    config.temperature = std::nan("");
    EXPECT_THROW(rt.run(rt.shared(), [&] { return connector->send(realtime::ClientEvent::createResponse(std::nullopt, config)); }),
                 realtime::EncodingError);
    rt.run(rt.shared(), [&] { return connector->send(realtime::ClientEvent::commitInputAudioBuffer("after")); });
    ASSERT_TRUE(server.waitForFrames(1));
    auto frames = server.frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(support::Json::parse(frames[0].data),
              support::Json::parse(R"({"type":"input_audio_buffer.commit","event_id":"after"})"));
}

}  // namespace
}  // namespace transport_test
