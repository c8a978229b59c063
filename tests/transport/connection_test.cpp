#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/websocket/error.hpp>

#include <cstdlib>
#include <set>

#include "realtime/transport/realtime_api.hpp"
#include "transport_fixture.hpp"

namespace transport_test {
namespace {

using support::RealtimeServer;

TEST(RealtimeEndpoint, DefaultsToTheServiceAndTakesAnOverrideWithOrWithoutAPath) {
    ::unsetenv("KESTRO_REALTIME_URL");
    EXPECT_EQ(realtime::realtimeEndpoint(), "wss://api.openai.com/v1/realtime");
    ::setenv("KESTRO_REALTIME_URL", "wss://proxy.example/custom/path", 1);
    EXPECT_EQ(realtime::realtimeEndpoint(), "wss://proxy.example/custom/path");
    ::setenv("KESTRO_REALTIME_URL", "ws://127.0.0.1:9", 1);
    EXPECT_EQ(realtime::realtimeEndpoint(), "ws://127.0.0.1:9/v1/realtime");
    auto request = realtime::RealtimeAPI::webSocketRequest("", "a b");
    EXPECT_EQ(request.url, "ws://127.0.0.1:9/v1/realtime?model=a%20b");
    // An empty credential still gives "Bearer " (HTTP itself drops the trailing blank on the wire).
    EXPECT_EQ(request.headers, (std::vector<std::pair<std::string, std::string>>{{"OpenAI-Beta", "realtime=v1"},
                                                                                 {"Authorization", "Bearer "}}));
    EXPECT_EQ(request.timeout, std::chrono::seconds(60));
}

TEST(RealtimeAPI, TheServerSeesExactlyTheModelQueryAndTheTwoHeadersAndTheFacadeForwards) {
    RealtimeServer server;
    ::setenv("KESTRO_REALTIME_URL", server.baseUrl().c_str(), 1);
    support::TestRuntime rt;
    int calls = 0;
    {
        // The credential goes out as given; the model name is percent-encoded as a query value.
        auto api = realtime::RealtimeAPI::webSocket(rt.shared(), " sk-a/b+c ", "gpt-4o realtime+preview/&é");
        ASSERT_TRUE(server.waitForConnection());
        const auto handshake = server.handshake();
        EXPECT_EQ(handshake.method, "GET");
        EXPECT_EQ(handshake.target, "/v1/realtime?model=gpt-4o%20realtime%2Bpreview%2F%26%C3%A9");
        EXPECT_NE(handshake.raw.find("\r\nAuthorization: Bearer  sk-a/b+c\r\n"), std::string::npos) << handshake.raw;
        EXPECT_EQ(handshake.header("OpenAI-Beta"), "realtime=v1");
        EXPECT_EQ(handshake.header("Host"), "127.0.0.1:" + std::to_string(server.port()));
        std::set<std::string> names;
        for (const auto& [name, value] : handshake.headers) names.insert(name);
        // Beyond the two headers only what the WebSocket upgrade itself needs.
        EXPECT_EQ(names, (std::set<std::string>{"Host", "Upgrade", "Connection", "Sec-WebSocket-Key",
                                                "Sec-WebSocket-Version", "OpenAI-Beta", "Authorization"}));

        // The disconnect handler is the connector's, and a later one replaces it.
        EXPECT_FALSE(api->onDisconnect());
        api->onDisconnect([&] { calls += 1; });
        EXPECT_TRUE(api->connector()->onDisconnect());
        api->onDisconnect([&] { calls += 10; });
        server.sendText(speechStarted(1));
        auto outcome = rt.run([events = api->events()] { return drain(events, 1); });
        EXPECT_EQ(outcome.ids, std::vector<std::string>{"e1"});
    }
    EXPECT_EQ(calls, 10);
    EXPECT_EQ(server.waitForClientClose(), 1001);
}

TEST(RealtimeAPI, ACredentialThatWouldAddHeaderLinesIsRefusedBeforeAnythingIsSent) {
    RealtimeServer server;
    ::setenv("KESTRO_REALTIME_URL", server.baseUrl().c_str(), 1);
    support::TestRuntime rt;
    for (const std::string& token : {std::string("tok\r\nX-Injected: yes"), std::string("tok\nX-Injected: yes"),
                                    std::string("tok\rX"), std::string("tok\0X", 5)}) {
        EXPECT_THROW(realtime::RealtimeAPI::webSocketRequest(token, "m"), realtime::InvalidCredentialError);
        EXPECT_THROW(realtime::RealtimeAPI::webSocket(rt.shared(), token, "m"), realtime::InvalidCredentialError);
    }
    EXPECT_FALSE(server.waitForConnection(1, 200ms));
}

class ConnectionFailure : public TransportTest {};

TEST_F(ConnectionFailure, AHeaderWithALineBreakFailsTheStreamWithoutConnecting) {
    realtime::ConnectionRequest injected{.url = server.baseUrl() + "/v1/realtime",
                                         .headers = {{"Authorization", "Bearer a\r\nX-Injected: yes"}},
                                         .timeout = 60s};
    realtime::WebSocketConnector connector(rt.shared(), injected);
    const auto outcome = drainOnMain(connector.events());
    EXPECT_TRUE(outcome.failure);
    EXPECT_NE(outcome.end.find("Authorization"), std::string::npos) << outcome.end;
    EXPECT_EQ(server.connectionCount(), 0u);
}

TEST_F(ConnectionFailure, AnUnreachablePortOrARefusedHandshakeArriveAsTheStreamsError) {
    // Construction succeeds at once; the failure is the stream's error.
    std::uint16_t closedPort;
    {
        boost::asio::io_context context;
        boost::asio::ip::tcp::acceptor probe(context, {boost::asio::ip::make_address("127.0.0.1"), 0});
        closedPort = probe.local_endpoint().port();
    }
    auto outcome = outcomeOf("ws://127.0.0.1:" + std::to_string(closedPort) + "/v1/realtime");
    EXPECT_TRUE(failureAs<boost::system::system_error>(outcome)) << outcome.end;

    server.refuseHandshakes(401);
    outcome = outcomeOf(server.baseUrl() + "/v1/realtime");
    auto declined = failureAs<boost::system::system_error>(outcome);
    ASSERT_TRUE(declined) << outcome.end;
    EXPECT_EQ(declined->code(), boost::beast::websocket::error::upgrade_declined);
    EXPECT_NE(outcome.end.find("401"), std::string::npos) << outcome.end;

    outcome = outcomeOf("http://127.0.0.1/v1/realtime");
    EXPECT_NE(outcome.end.find("http://127.0.0.1/v1/realtime"), std::string::npos) << outcome.end;
}

TEST_F(ConnectionFailure, DestroyingTheConnectorWhileTheHandshakeIsPendingEndsNormallyWithoutHanging) {
    // A listener that accepts the connection but never answers the upgrade.
    boost::asio::io_context context;
    boost::asio::ip::tcp::acceptor silent(context, {boost::asio::ip::make_address("127.0.0.1"), 0});
    int disconnects = 0;
    auto connector = std::make_unique<realtime::WebSocketConnector>(
        rt.shared(), request("ws://127.0.0.1:" + std::to_string(silent.local_endpoint().port()) + "/v1/realtime"));
    connector->onDisconnect([&] { ++disconnects; });
    auto send = rt.run(rt.shared(), [&]() -> asio::awaitable<std::string> {
        auto pending = connector->send(realtime::ClientEvent::commitInputAudioBuffer());
        connector.reset();
        try {
            co_await std::move(pending);
            co_return "sent";
        } catch (const boost::system::system_error& error) {
            co_return error.code() == boost::asio::error::operation_aborted ? "aborted" : error.what();
        }
    });
    EXPECT_EQ(send, "aborted");
    EXPECT_EQ(disconnects, 1);
}

class TlsConnection : public TransportTest {
protected:
    TlsConnection() : TransportTest(RealtimeServer::Security::tls) {}
};

TEST_F(TlsConnection, ATrustedCertificateForTheHostConnectsAndAnythingElseFailsTheStream) {
    const auto port = std::to_string(server.port());
    ::unsetenv("SSL_CERT_FILE");  // the test certificate is not in the system's trust store
    auto outcome = outcomeOf("wss://localhost:" + port + "/v1/realtime");
    EXPECT_TRUE(outcome.failure) << outcome.end;
    ::setenv("SSL_CERT_FILE", support::TestCertificate::get().certificateFile.c_str(), 1);
    // Trusted, but issued for "localhost", not for the address.
    outcome = outcomeOf("wss://127.0.0.1:" + port + "/v1/realtime");
    EXPECT_TRUE(outcome.failure) << outcome.end;
    EXPECT_EQ(server.connectionCount(), 0u);

    server.sendText(speechStarted(7));
    EXPECT_EQ(outcomeOf("wss://localhost:" + port + "/v1/realtime?model=m", 1).ids, std::vector<std::string>{"e7"});
    EXPECT_EQ(server.handshake().target, "/v1/realtime?model=m");
    EXPECT_EQ(server.handshake().header("Host"), "localhost:" + port);
}

}  // namespace
}  // namespace transport_test
