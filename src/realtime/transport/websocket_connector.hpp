#pragma once
// The connector over a WebSocket (Boost.Beast; TLS through OpenSSL for wss:// with SNI and
// certificate and host-name verification against the system's trust store).
//
// Construction never waits and never fails: the connection is opened by the receive loop on the
// shared executor, and a connection that cannot be opened shows up as the event stream's error.
// The loop holds the connection and the stream's producer side but not the connector, so the
// connector may be destroyed while the loop waits. Teardown closes the WebSocket with code 1001
// (going away), stops the loop, ends the stream normally and then calls the disconnect handler.
// An open connection that hears nothing from the service for the request's silence limit, its
// pings unanswered, is shut, and the stream fails with detail::ConnectionSilentError.

#include <boost/asio/any_io_executor.hpp>

#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>

#include "realtime/transport/connection_request.hpp"
#include "realtime/transport/connector.hpp"

namespace realtime {

namespace detail {
class WebSocketConnection;
}

class WebSocketConnector final : public Connector {
public:
    // Starts connecting on `sharedExecutor` and returns at once.
    WebSocketConnector(asio::any_io_executor sharedExecutor, ConnectionRequest request);
    ~WebSocketConnector() override;

    WebSocketConnector(const WebSocketConnector&) = delete;
    WebSocketConnector& operator=(const WebSocketConnector&) = delete;

    // The asynchronous factory of the connector interface; it always succeeds.
    static asio::awaitable<std::shared_ptr<Connector>> connect(asio::any_io_executor sharedExecutor,
                                                               ConnectionRequest request);

    // How many connections of this process are still open or closing; a connection counts until
    // its closing handshake has ended, so a process about to exit can let its calls close cleanly.
    static std::size_t openConnections();

    ServerEventStream events() const override { return events_; }
    DisconnectHandler onDisconnect() const override;
    void onDisconnect(DisconnectHandler handler) override;
    asio::awaitable<void> send(const ClientEvent& event) override;

private:
    WebSocketConnector(std::pair<ServerEventStream, ServerEventStream::Continuation> stream,
                       asio::any_io_executor sharedExecutor, ConnectionRequest request);

    mutable std::mutex handlerMutex_;
    DisconnectHandler handler_;
    ServerEventStream events_;
    ServerEventStream::Continuation stream_;
    std::shared_ptr<detail::WebSocketConnection> connection_;
};

}  // namespace realtime
