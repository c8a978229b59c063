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

// A certificate for "localhost" (no IP address in it), generated once per process.
struct TestCertificate {
    std::string certificatePem;
    std::string privateKeyPem;
    std::string certificateFile;  // a file holding certificatePem, for SSL_CERT_FILE

    static const TestCertificate& get();
};

class RealtimeServer {
public:
    enum class Security { plain, tls };

    explicit RealtimeServer(Security security = Security::plain);
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

    // Waits until `count` handshakes have been received (upgraded or refused).
    bool waitForConnection(std::size_t count = 1, std::chrono::milliseconds timeout = 10s);
    std::size_t connectionCount() const;

    // Of the most recent connection.
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
