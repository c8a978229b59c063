#pragma once
// Shared pieces of the WebRTC tests: a runtime, an HTTP client, a loopback server standing in for
// the realtime service's offer endpoint, the printed lines, and a watch on GLib's and GStreamer's
// warnings. Both ICE agents gather on 127.0.0.1 only.

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "answering_peer.hpp"
#include "platform/http/http_client.hpp"
#include "platform/runtime/print.hpp"
#include "realtime/transport/webrtc_connector.hpp"
#include "support/fake_backend.hpp"
#include "support/realtime_events.hpp"
#include "support/test_runtime.hpp"
#include "transport/transport_fixture.hpp"

namespace webrtc_test {

namespace asio = boost::asio;

// The threads of this process.
std::size_t threadCount();
// Their names, for a failure's message.
std::string threadNames();

// The UDP sockets this process holds open (IPv4 and IPv6): its descriptors that are sockets listed
// in /proc/net/udp or /proc/net/udp6.
std::size_t udpSocketCount();

// Lets idle threads that GLib keeps for reuse go, so that a count shows only threads in use.
void dropIdleThreads();

// The threads in use once idle ones GLib keeps for reuse have gone.
std::size_t threadsInUse();

// Collects the warnings and criticals that GLib, GStreamer and libnice report while it lives
// (through g_log or the structured log, from any thread); what is left when it ends fails the
// running test.
class WarningWatch {
public:
    WarningWatch();
    ~WarningWatch();
    // The lines reported since the watch began or since the last call.
    std::vector<std::string> take();
};

// What a consumer sees of a connector's events, as in the WebSocket transport's tests.
using transport_test::drain;
using transport_test::Outcome;

// Loads the GStreamer plugins both sides of a connection use. The first connection of a process
// would load them itself, which under a sanitizer alone takes seconds: start-up of the process,
// not the connection's time.
void loadPlugins();

// A known server event whose event_id is `id`.
std::string speechStarted(const std::string& id);

class WebRTCTest : public ::testing::Test {
protected:
    static constexpr const char* offerPath = "/v1/realtime";

    void SetUp() override;
    void TearDown() override;

    platform::HttpRequest offerRequest() const;
    platform::HttpRequest offerRequestTo(const std::string& url) const;
    static realtime::WebRTCOptions loopbackOptions();

    // The server answers every offer through `peer`, with `status`.
    void answerThrough(AnsweringPeer& peer, int status = 201);

    // Connects to the server, within `patience`.
    std::shared_ptr<realtime::Connector> connect();

    bool printed(const std::string& line) const { return printedCount(line) > 0; }
    std::size_t printedCount(const std::string& line) const;
    // Waits until `line` has been printed.
    bool waitForLine(const std::string& line, std::chrono::milliseconds limit = patience) const;

    Outcome drainOnMain(realtime::ServerEventStream events, std::size_t limit = SIZE_MAX) {
        return rt.run([events, limit] { return drain(events, limit); });
    }

    WarningWatch warnings;
    support::TestRuntime rt;
    platform::HttpClient http;
    support::FakeBackend server;
    mutable std::mutex linesMutex;
    std::vector<std::string> lines;
    std::function<void(std::string_view)> onLine;  // also told of every line, on the printing thread
    platform::ScopedPrintSink sink{[this](std::string_view line) {
        std::function<void(std::string_view)> also;
        {
            std::lock_guard lock(linesMutex);
            lines.emplace_back(line);
            also = onLine;
        }
        if (also) also(line);
    }};
};

}  // namespace webrtc_test
