// The loopback service's answers, received through the WebSocket connector: every event of a spoken
// answer decodes, and the deltas arrive at the pace the chosen behaviour gives them.

#include <algorithm>
#include <chrono>

#include "support/realtime_events.hpp"
#include "transport_fixture.hpp"

namespace transport_test {
namespace {

using Clock = std::chrono::steady_clock;
using support::ServiceBehaviour;
using support::SpokenAnswer;

struct Arrival {
    std::string type;
    Clock::time_point time;
};

class ServiceBehaviourTest : public TransportTest {
protected:
    // Receives until "response.done".
    std::vector<Arrival> receiveAnswer(const SpokenAnswer& answer) {
        server.sendAnswer(answer);
        auto connector = connect();
        return rt.run([events = connector->events()]() mutable -> asio::awaitable<std::vector<Arrival>> {
            std::vector<Arrival> arrivals;
            while (auto event = co_await events.next()) {
                arrivals.push_back({std::string(realtime::rawValue(event->kind())), Clock::now()});
                if (arrivals.back().type == "response.done") break;
            }
            co_return arrivals;
        }, 30s);
    }
    static std::vector<Clock::time_point> deltaTimes(const std::vector<Arrival>& arrivals) {
        std::vector<Clock::time_point> times;
        for (const auto& arrival : arrivals) {
            if (arrival.type == "response.audio.delta") times.push_back(arrival.time);
        }
        return times;
    }
    static double msBetween(Clock::time_point a, Clock::time_point b) {
        return std::chrono::duration<double, std::milli>(b - a).count();
    }
};

TEST_F(ServiceBehaviourTest, AFastAnswerArrivesInASixthOfItsLengthAndClosesAtOnce) {
    server.setBehaviour(ServiceBehaviour::fastAnswers());
    auto arrivals = receiveAnswer(SpokenAnswer::lasting(6s, "One two three four five six."));
    std::vector<std::string> types;
    for (const auto& arrival : arrivals) {
        if (arrival.type != "response.audio.delta" && arrival.type != "response.audio_transcript.delta") types.push_back(arrival.type);
    }
    EXPECT_EQ(types, (std::vector<std::string>{"response.created", "response.output_item.added", "conversation.item.created",
                                               "response.content_part.added", "response.audio.done",
                                               "response.audio_transcript.done", "response.content_part.done",
                                               "response.output_item.done", "response.done"}));
    auto deltas = deltaTimes(arrivals);
    ASSERT_EQ(deltas.size(), 60u);
    EXPECT_NEAR(msBetween(deltas.front(), deltas.back()), 59 * 100.0 / 6, 150);
    EXPECT_LT(msBetween(deltas.back(), arrivals.back().time), 50);
}

TEST_F(ServiceBehaviourTest, RealTimeDeltasKeepThePlayingPaceWithinTheirJitter) {
    server.setBehaviour(ServiceBehaviour::realTimePace(30ms));
    auto arrivals = receiveAnswer(SpokenAnswer::lasting(2s));
    auto deltas = deltaTimes(arrivals);
    ASSERT_EQ(deltas.size(), 20u);
    double earliest = 1e9, latest = -1e9;
    bool anyOffBeat = false;
    for (std::size_t i = 1; i < deltas.size(); ++i) {
        // Against the first delta, itself up to 30 ms off.
        const double offset = msBetween(deltas.front(), deltas[i]) - 100.0 * double(i);
        earliest = std::min(earliest, offset);
        latest = std::max(latest, offset);
        anyOffBeat = anyOffBeat || std::abs(offset) > 5;
    }
    EXPECT_GE(earliest, -60 - 5);
    EXPECT_LE(latest, 60 + 20);
    EXPECT_TRUE(anyOffBeat) << "no jitter";
}

}  // namespace
}  // namespace transport_test
