#pragma once
// The façade the conversation talks through: it holds one connector and forwards to it.

#include <boost/asio/any_io_executor.hpp>

#include <memory>
#include <string>

#include "realtime/transport/connection_request.hpp"
#include "realtime/transport/connector.hpp"

namespace realtime {

// The realtime service's WebSocket endpoint: $KESTRO_REALTIME_URL when set, otherwise
// wss://api.openai.com/v1/realtime. An override without a path gets the path /v1/realtime.
std::string realtimeEndpoint();

class RealtimeAPI {
public:
    explicit RealtimeAPI(std::shared_ptr<Connector> connector);

    // The authenticated request for the realtime service: the endpoint with the percent-encoded
    // "model" query item, the headers "OpenAI-Beta: realtime=v1" and "Authorization: Bearer "
    // followed by the credential as given, and a 60 s limit on the opening handshake.
    static ConnectionRequest webSocketRequest(const std::string& authToken, const std::string& model);

    // A façade around a WebSocketConnector for that request. Never fails and never waits; a
    // refused credential or an unreachable service shows up as the event stream's error.
    static std::shared_ptr<RealtimeAPI> webSocket(asio::any_io_executor sharedExecutor,
                                                  const std::string& authToken, const std::string& model);

    ServerEventStream events() const { return connector_->events(); }
    DisconnectHandler onDisconnect() const { return connector_->onDisconnect(); }
    void onDisconnect(DisconnectHandler handler) { connector_->onDisconnect(std::move(handler)); }
    asio::awaitable<void> send(const ClientEvent& event) { return connector_->send(event); }

    const std::shared_ptr<Connector>& connector() const { return connector_; }

private:
    std::shared_ptr<Connector> connector_;
};

}  // namespace realtime
