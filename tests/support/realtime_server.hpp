#pragma once
// A loopback WebSocket server standing in for the realtime service (plain ws:// or wss:// with a
// certificate generated for the test run). It records each connection's opening handshake and
// every message it receives, and plays scripted messages, close codes and failures.
//
//   support::RealtimeServer server;                 // or RealtimeServer(RealtimeServer::Security::tls)
//   setenv("KESTRO_REALTIME_URL", server.baseUrl().c_str(), 1);
//   server.sendText(R"({"type":"session.created",...})");   // queued until a client connects
//   ASSERT_TRUE(server.waitForConnection());
//   server.handshake().header("Authorization");
//   server.waitForFrames(3); server.frames();
//   server.waitForClientClose();                    // the close code the client sent
//
// Scripted actions apply to the most recent connection, or to the next one when none is open
// yet; they are played in the order they were given.
//
// Spoken answers (sendAnswer) go out as the real service sends them, paced by the server's
// behaviour:
//
//   RealtimeServer server(ServiceBehaviour::fastAnswers());               // 6 s of speech in ~1 s
//   RealtimeServer server(ServiceBehaviour::realTimePace(30ms));          // deltas at playing pace, +-30 ms
//   server.setBehaviour(ServiceBehaviour::fastAnswers());                 // or later, for the next answers
//   server.sendAnswer(SpokenAnswer::lasting(6s));
//   server.sent();                                                        // what went out, and when

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/realtime_events.hpp"
#include "support/test_certificate.hpp"

namespace support {

using namespace std::chrono_literals;

struct RecordedHandshake {
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> headers;  // in the order received
    std::string raw;  // the request head exactly as received, up to and including the blank line

    // The value of the header named `name` (case-insensitive), if present.
    std::optional<std::string> header(std::string_view name) const;
};

struct ReceivedFrame {
    enum class Kind { text, binary };
    Kind kind;
    std::string data;
};

// How the loopback service behaves where the real one differs from a script played at once.
struct ServiceBehaviour {
    enum class Pace {
        // Every event of an answer at once, as fast as the socket takes them.
        immediate,
        // As the service generates speech: six times faster than it plays (a 6 s answer arrives
        // in about 1 s), the closing events ("response.audio.done" to "response.done") at once
        // after the last delta, while the first seconds still play.
        fastAnswer,
        // At about the pace the audio plays, as over a real network: delta i leaves i delta
        // durations after the first, each up to `jitter` early or late.
        realTime,
    };
    Pace answerPace = Pace::immediate;
    // Spread of the send times of the deltas (under any pace but `immediate`).
    std::chrono::milliseconds jitter{0};
    // Seeds the jitter, so that a run can be repeated.
    unsigned jitterSeed = 22;

    static ServiceBehaviour fastAnswers() { return {Pace::fastAnswer, {}, 22}; }
    static ServiceBehaviour realTimePace(std::chrono::milliseconds jitter = std::chrono::milliseconds(30)) {
        return {Pace::realTime, jitter, 22};
    }
};

// A text message the server sent, and when it handed it to the socket.
struct SentMessage {
    std::chrono::steady_clock::time_point time;
    std::string text;
};

// When an answer's first audio delta and its "response.done" went out.
struct AnswerSent {
    std::chrono::steady_clock::time_point firstDelta;
    std::chrono::steady_clock::time_point done;
};

class RealtimeServer {
public:
    enum class Security { plain, tls };

    explicit RealtimeServer(Security security = Security::plain);
    explicit RealtimeServer(ServiceBehaviour behaviour, Security security = Security::plain);
    ~RealtimeServer();
    RealtimeServer(const RealtimeServer&) = delete;
    RealtimeServer& operator=(const RealtimeServer&) = delete;

    std::uint16_t port() const { return port_; }
    // ws://127.0.0.1:PORT for a plain server, wss://localhost:PORT for a TLS one.
    std::string baseUrl() const;

    // Answer the following handshakes with this HTTP status instead of upgrading (0 upgrades).
    void refuseHandshakes(unsigned status);
    // While held, connections are accepted but their opening handshakes are left unanswered.
    void holdHandshakes(bool held);
    // While paused, nothing the clients send is read: their close frames go unanswered and their
    // writes stall once the socket buffers are full. Scripted actions still play.
    void pauseReading(bool paused);
    // While stopped, nothing reaches the clients of plain ws:// connections, as when the network
    // drops the service's packets: no scripted message, no pong, no close frame leaves (each counts
    // as written). What the clients send is still read and recorded.
    void stopAnswering(bool stopped);
    // What the most recent connection has received and not yet read, in bytes (0 once it ended).
    std::size_t unreadBytes() const;

    // From now on scripted texts go out as a service newer than the client sends them: a new voice
    // in "session.created", an extra top-level member, an unknown event type (see newer_service.hpp).
    void actAsNewerService(bool newer = true);

    // Scripted actions.
    void sendText(std::string text);
    void sendBinary(std::string data);
    void close(std::uint16_t code);  // the server starts the closing handshake
    void drop();                     // the TCP connection ends without a closing handshake
    // A flood, as a hostile or runaway service sends one: `count` text messages made by
    // `message(n)` for n = 0, 1, ..., each made just before it is written, so the server holds one
    // at a time. They go out as fast as the connection takes them, or at most `perSecond` a second
    // when that is not 0. The flood stops early when the connection ends.
    void flood(std::function<std::string(std::size_t)> message, std::size_t count, std::size_t perSecond = 0);
    // How many flood messages have been written to the most recent connection.
    std::size_t floodSent() const;

    // Applies to the answers sent from now on.
    void setBehaviour(ServiceBehaviour behaviour);
    ServiceBehaviour behaviour() const;
    // Scripts a spoken answer, paced as the behaviour says; returns at once.
    void sendAnswer(const SpokenAnswer& answer);

    // The app may count a call as connected before its handshake has reached this server: until a
    // connection has, nothing has been sent or received, and the queries below answer so.
    // The text messages sent so far on the most recent connection, in order.
    std::vector<SentMessage> sent() const;
    // The time the first message of `type` went out on the most recent connection, if one has.
    std::optional<std::chrono::steady_clock::time_point> firstSent(std::string_view type) const;
    // The same, once it has gone out; nothing if it has not within `timeout`.
    std::optional<std::chrono::steady_clock::time_point> waitForSent(std::string_view type,
                                                                     std::chrono::milliseconds timeout = 10s) const;
    // Once the answer has gone out, from its first audio delta to its "response.done".
    std::optional<AnswerSent> waitForAnswerSent(std::chrono::milliseconds timeout = 10s) const;

    // Waits until `count` handshakes have been received (upgraded or refused).
    bool waitForConnection(std::size_t count = 1, std::chrono::milliseconds timeout = 10s);
    std::size_t connectionCount() const;

    // Of the most recent connection (the handshake throws while there is none).
    RecordedHandshake handshake() const;
    std::vector<ReceivedFrame> frames() const;
    bool waitForFrames(std::size_t count, std::chrono::milliseconds timeout = 10s);
    // The close code the client sent, 0 when the connection ended without a close frame, or
    // nothing when the connection is still open after `timeout`.
    std::optional<std::uint16_t> waitForClientClose(std::chrono::milliseconds timeout = 10s);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
    std::uint16_t port_ = 0;
};

}  // namespace support
