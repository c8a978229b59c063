#pragma once
// The transport of the realtime client: a connector opens a connection to the realtime service,
// delivers the service's events as one stream and sends client events.

#include <boost/asio/awaitable.hpp>

#include <functional>
#include <stdexcept>

#include "platform/runtime/async_stream.hpp"
#include "realtime/model/client_event.hpp"
#include "realtime/model/server_event.hpp"

namespace realtime {

namespace asio = boost::asio;

// The service's events, in arrival order. It fails with the receive, decoding or message error
// that ended the connection, and ends normally when the connector is torn down.
using ServerEventStream = platform::AsyncStream<ServerEvent>;

// Called once when the connector is torn down; may run on any thread.
using DisconnectHandler = std::function<void()>;

class RealtimeAPIError : public std::runtime_error {
public:
    enum class Code {
        invalidMessage,  // a message that is not a text message
    };

    explicit RealtimeAPIError(Code code)
        : std::runtime_error("The realtime service sent a message that is not text"), code(code) {}

    Code code;
};

class Connector {
public:
    virtual ~Connector() = default;

    // The event stream; only one consumer may iterate it.
    virtual ServerEventStream events() const = 0;

    // The current disconnect handler, or an empty function.
    virtual DisconnectHandler onDisconnect() const = 0;

    // Replaces the disconnect handler; an empty function clears it.
    virtual void onDisconnect(DisconnectHandler handler) = 0;

    // Sends one client event as one text message. The event is encoded and queued when send()
    // is called, so events leave in the order of the calls; awaiting the result waits until the
    // message has been written and rethrows the encoding or socket error.
    virtual asio::awaitable<void> send(const ClientEvent& event) = 0;
};

}  // namespace realtime
