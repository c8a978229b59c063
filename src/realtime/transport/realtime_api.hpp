#pragma once
// The façade the conversation talks through: it holds one connector and forwards to it.

#include <boost/asio/any_io_executor.hpp>

#include <memory>
#include <stdexcept>
#include <string>

#include "realtime/transport/connection_request.hpp"
#include "realtime/transport/connector.hpp"

namespace realtime {

// The realtime service's WebSocket endpoint: $KESTRO_REALTIME_URL when set, otherwise
// wss://api.openai.com/v1/realtime. An override without a path gets the path /v1/realtime.
std::string realtimeEndpoint();

// A credential that would break the request's header block: it holds CR, LF or NUL.
class InvalidCredentialError : public std::invalid_argument {
public:
    InvalidCredentialError() : std::invalid_argument("The credential contains a line break or NUL character") {}
};

class RealtimeAPI {
public:
    explicit RealtimeAPI(std::shared_ptr<Connector> connector);

    // The authenticated request for the realtime service: the endpoint with the percent-encoded
    // "model" query item, the headers "OpenAI-Beta: realtime=v1" and "Authorization: Bearer "
    // followed by the credential as given, and a 60 s limit on the opening handshake. Throws
    // InvalidCredentialError for a credential holding CR, LF or NUL, which would otherwise add
    // header lines of its own to the request.
    static ConnectionRequest webSocketRequest(const std::string& authToken, const std::string& model);

    // A façade around a WebSocketConnector for that request. Fails only as webSocketRequest()
    // does and never waits; a credential the service refuses or an unreachable service shows up
    // as the event stream's error.
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
