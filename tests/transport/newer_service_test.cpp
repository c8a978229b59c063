// A service newer than this client: new closed-set words, members and event types reach a
// connection, and what it cannot use is skipped with short, bounded reports.

#include <mutex>

#include "platform/runtime/print.hpp"
#include "realtime/model/decoding_error.hpp"
#include "realtime/transport/server_event_receiver.hpp"
#include "support/newer_service.hpp"
#include "support/realtime_events.hpp"
#include "transport_fixture.hpp"

namespace transport_test {
namespace {

// Every line printed while it lives.
class PrintedLines {
public:
    PrintedLines()
        : sink_([this](std::string_view line) {
              std::lock_guard lock(mutex_);
              lines_.emplace_back(line);
          }) {}
    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    std::size_t bytes() {
        std::size_t total = 0;
        for (const auto& line : lines()) total += line.size();
        return total;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
    platform::ScopedPrintSink sink_;
};

class NewerService : public TransportTest {};

TEST_F(NewerService, ASessionWithANewVoiceAndAnExtraMemberArrivesAndAnUnknownEventTypeIsSkippedWithOneLine) {
    PrintedLines printed;
    server.actAsNewerService();
    auto created = support::serverEvent("session.created", {{"session", support::realtimeSession(false)}});
    created["event_id"] = "created";
    server.sendText(created.dump());
    server.sendText(speechStarted(1));
    server.sendText(created.dump());  // its unknown event follows again, and is not reported again
    server.sendText(speechStarted(2));
    auto connector = connect();
    std::vector<realtime::ServerEvent> events;
    rt.run([&, stream = connector->events()]() mutable -> asio::awaitable<void> {
        while (events.size() < 4) {
            auto event = co_await stream.next();
            if (!event) break;
            events.push_back(std::move(*event));
        }
    });
    ASSERT_EQ(events.size(), 4u);
    std::vector<std::string> ids;
    for (const auto& event : events) ids.push_back(event.id());
    EXPECT_EQ(ids, (std::vector<std::string>{"created", "e1", "created", "e2"}));
    const auto& session = events[0].get<realtime::ServerEvent::Kind::sessionCreated>().session;
    EXPECT_EQ(session.voice.rawText(), support::kNewerVoice);
    EXPECT_FALSE(session.voice.known());
    EXPECT_EQ(printed.lines(), std::vector<std::string>{"Unknown event type: " + std::string(support::kNewerEventType)});
}

// Forty distinct unknown types of a megabyte each: the report stays a few kilobytes, the texts
// remembered to report each once stay bounded, and the connection goes on.
TEST_F(NewerService, ManyDistinctHugeUnknownEventTypesPrintAShortBoundedReport) {
    PrintedLines printed;
    constexpr int kTypes = 40;
    for (int i = 0; i < kTypes; ++i) {
        std::string type(1024 * 1024, 'a' + static_cast<char>(i % 26));
        type.replace(0, 3, std::to_string(100 + i));  // distinct within the reported prefix
        server.sendText(R"({"type":")" + type + R"(","event_id":"u"})");
    }
    server.sendText(speechStarted(1));
    auto connector = connect();
    auto outcome = rt.run([&, events = connector->events()] { return drain(events, 1); }, 60s);
    EXPECT_EQ(outcome.ids, std::vector<std::string>{"e1"});
    const auto lines = printed.lines();
    EXPECT_EQ(lines.size(), realtime::ServerEventReceiver::kMaxReportedTexts + 1);
    EXPECT_LT(printed.bytes(), 8u * 1024) << "printed " << printed.bytes() << " bytes";
    if (!lines.empty()) {
        EXPECT_EQ(lines.back(), "More unknown texts were received; they are not reported.");
    }
}

// The one decoding step both transports use.
TEST(ServerEventReceiver, ReportsEachUnknownTextOnceAndAtMostABoundedNumberOfThem) {
    PrintedLines printed;
    realtime::ServerEventReceiver receiver;
    EXPECT_FALSE(receiver.receive(R"({"type":"x.0"})"));
    EXPECT_FALSE(receiver.receive(R"({"type":"x.0"})"));
    EXPECT_EQ(printed.lines(), std::vector<std::string>{"Unknown event type: x.0"});
    for (std::size_t i = 1; i < 100; ++i) EXPECT_FALSE(receiver.receive(R"({"type":"x.)" + std::to_string(i) + "\"}"));
    EXPECT_EQ(printed.lines().size(), realtime::ServerEventReceiver::kMaxReportedTexts + 1);
    EXPECT_TRUE(receiver.receive(speechStarted(1)));
    EXPECT_THROW(receiver.receive(R"({"type":"input_audio_buffer.speech_started"})"), realtime::DecodingError);
}

}  // namespace
}  // namespace transport_test
