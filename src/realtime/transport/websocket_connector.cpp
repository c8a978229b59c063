#include "realtime/transport/websocket_connector.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <tuple>

#include "realtime/model/codec.hpp"
#include "realtime/transport/server_event_receiver.hpp"
#include "realtime/transport/websocket_connection.hpp"
#include "realtime/transport/websocket_endpoint.hpp"

namespace realtime {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using boost::system::system_error;

namespace {

// Room for a microphone chunk's message (about 5.5 KB) and the larger session updates in one write.
constexpr std::size_t writeBufferBytes = 16 * 1024;

// The socket is read only while the events received and not yet taken by the consumer weigh less
// than this: a service that sends faster than the app handles its events waits in its own send
// buffer, not in the app's memory. An event weighs its message's size plus what a decoded event
// costs beyond its text.
constexpr std::size_t receiveBacklogLimit = 4 * 1024 * 1024;
constexpr std::size_t eventOverhead = 512;

// What the system may hold of our writes, sent or not yet acknowledged (it books twice what is
// asked): one to two seconds of microphone audio. Audio that cannot leave waits in the microphone's queue, where it is dropped
// once stale, not here, where it would still go out after a stall as if live.
constexpr int socketSendBuffer = 64 * 1024;

using detail::SendDone;

asio::awaitable<void> awaitSend(SendDone done) {
    const auto written = co_await done.next();
    if (!written) throw system_error(asio::error::operation_aborted);
}

asio::awaitable<void> rethrow(std::exception_ptr error) {
    std::rethrow_exception(error);
    co_return;
}

}  // namespace

namespace detail {

namespace {

template <bool Tls>
class BeastConnection final : public WebSocketConnection {
    using Layer = std::conditional_t<Tls, beast::ssl_stream<beast::tcp_stream>, beast::tcp_stream>;

public:
    BeastConnection(asio::any_io_executor executor, Endpoint endpoint, ConnectionRequest request)
        : WebSocketConnection(std::move(executor), Liveness{request.silenceLimit, request.pingAfter}),
          endpoint_(std::move(endpoint)),
          request_(std::move(request)),
          tlsContext_(makeTlsContext()),
          resolver_(strand_),
          ws_(makeStream()) {}

    asio::awaitable<void> open() override {
        try {
            co_await openSteps();
            opened();
        } catch (...) {
            openFailed(std::current_exception());
            throw;
        }
    }

    asio::awaitable<Message> receive() override {
        beast::flat_buffer buffer;
        reading(true);
        // Piece by piece: a long message on a slow link is life as it arrives, not only at its end.
        error_code ec;
        do {
            std::tie(ec, std::ignore) = co_await ws_.async_read_some(buffer, 0, asio::as_tuple(asio::use_awaitable));
            if (!ec) heard();
        } while (!ec && !ws_.is_message_done());
        reading(false);
        if (ec && silenceError()) {
            receivedClose(static_cast<std::uint16_t>(websocket::close_code::abnormal));
            std::rethrow_exception(silenceError());
        }
        if (ec == websocket::error::closed) {
            const auto code = ws_.reason().code;
            receivedClose(code);
            throw system_error(ec, "closed by the service with code " + std::to_string(code));
        }
        if (ec) {
            receivedClose(static_cast<std::uint16_t>(websocket::close_code::abnormal));
            throw system_error(ec);
        }
        co_return Message{ws_.got_text(), beast::buffers_to_string(buffer.data())};
    }

private:
    static std::shared_ptr<ssl::context> makeTlsContext() {
        if constexpr (!Tls) {
            return nullptr;
        } else {
            auto context = std::make_shared<ssl::context>(ssl::context::tls_client);
            context->set_default_verify_paths();
            context->set_verify_mode(ssl::verify_peer);
            return context;
        }
    }

    websocket::stream<Layer> makeStream() {
        if constexpr (Tls) {
            return websocket::stream<Layer>(strand_, *tlsContext_);
        } else {
            return websocket::stream<Layer>(strand_);
        }
    }

    asio::awaitable<void> openSteps() {
        // One limit for the whole opening: name resolution, connection, TLS and the upgrade.
        const auto deadline = std::chrono::steady_clock::now() + request_.timeout;
        auto& socket = beast::get_lowest_layer(ws_);

        asio::steady_timer resolveLimit(strand_, deadline);
        resolveLimit.async_wait([this, self = shared_from_this()](error_code ec) {
            if (!ec) resolver_.cancel();
        });
        auto results = co_await resolver_.async_resolve(endpoint_.host, endpoint_.port, asio::use_awaitable);
        resolveLimit.cancel();
        throwIfAbandoned();

        socket.expires_at(deadline);
        co_await socket.async_connect(results, asio::use_awaitable);
        throwIfAbandoned();
        socket.socket().set_option(asio::socket_base::send_buffer_size(socketSendBuffer));

        if constexpr (Tls) {
            SSL* handle = ws_.next_layer().native_handle();
            if (isIpAddress(endpoint_.host)) {
                X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(handle), endpoint_.host.c_str());
            } else {
                if (!SSL_set_tlsext_host_name(handle, endpoint_.host.c_str()) ||
                    !SSL_set1_host(handle, endpoint_.host.c_str())) {
                    throw system_error(error_code(static_cast<int>(::ERR_get_error()), asio::error::get_ssl_category()));
                }
            }
            co_await ws_.next_layer().async_handshake(ssl::stream_base::client, asio::use_awaitable);
            throwIfAbandoned();
        }
        socket.expires_never();

        const auto remaining = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            deadline - std::chrono::steady_clock::now());
        websocket::stream_base::timeout limits{};
        limits.handshake_timeout = std::max(remaining, std::chrono::steady_clock::duration(1));
        limits.idle_timeout = websocket::stream_base::none();
        limits.keep_alive_pings = false;
        ws_.set_option(limits);
        // A client masks what it sends through this buffer, one socket write (and one frame) per
        // buffer's worth: the default 4 KB took two writes for each microphone chunk, each
        // completion a hop between the shared threads.
        ws_.write_buffer_bytes(writeBufferBytes);
        // Pings and pongs are life too; the library answers the service's pings itself.
        ws_.control_callback([this](websocket::frame_type, beast::string_view) { heard(); });
        ws_.set_option(websocket::stream_base::decorator([headers = request_.headers](websocket::request_type& req) {
            req.erase(http::field::user_agent);
            for (const auto& [name, value] : headers) req.set(name, value);
        }));

        websocket::response_type response;
        auto [ec] = co_await ws_.async_handshake(response, endpoint_.authority, endpoint_.target,
                                                 asio::as_tuple(asio::use_awaitable));
        if (ec == websocket::error::upgrade_declined) {
            throw system_error(ec, "HTTP status " + std::to_string(response.result_int()));
        }
        if (ec) throw system_error(ec);
        throwIfAbandoned();
    }

    void throwIfAbandoned() const {
        if (state_ != State::connecting) throw system_error(asio::error::operation_aborted);
    }

    void write(const std::string& text, Done done) override {
        ws_.text(true);
        ws_.async_write(asio::buffer(text), [done = std::move(done)](error_code ec, std::size_t) { done(ec); });
    }

    void writeClose(std::uint16_t code, Done done) override {
        websocket::stream_base::timeout limits{};
        limits.handshake_timeout = closeHandshakeLimit;
        limits.idle_timeout = websocket::stream_base::none();
        limits.keep_alive_pings = false;
        ws_.set_option(limits);
        ws_.async_close(websocket::close_reason(code), [done = std::move(done)](error_code ec) { done(ec); });
    }

    void writePing(Done done) override {
        ws_.async_ping({}, [done = std::move(done)](error_code ec) { done(ec); });
    }

    void abandon(bool discardUnsent) override {
        resolver_.cancel();
        auto& socket = beast::get_lowest_layer(ws_).socket();
        error_code ignored;
        if (discardUnsent && socket.is_open()) {
            // Closing with a zero linger resets the connection: nothing still held for it leaves.
            socket.set_option(asio::socket_base::linger(true, 0), ignored);
        } else {
            socket.shutdown(tcp::socket::shutdown_both, ignored);
        }
        beast::get_lowest_layer(ws_).close();
    }

    Endpoint endpoint_;
    ConnectionRequest request_;
    std::shared_ptr<ssl::context> tlsContext_;
    tcp::resolver resolver_;
    websocket::stream<Layer> ws_;
};

// Stands in for a connection whose URL cannot be used: opening fails with the URL's error.
class UnusableConnection final : public WebSocketConnection {
public:
    UnusableConnection(asio::any_io_executor executor, std::exception_ptr error)
        : WebSocketConnection(std::move(executor), Liveness{}), error_(std::move(error)) {}

    asio::awaitable<void> open() override {
        openFailed(error_);
        std::rethrow_exception(error_);
        co_return;
    }
    asio::awaitable<Message> receive() override {
        std::rethrow_exception(error_);
        co_return Message{};
    }

private:
    void write(const std::string&, Done) override {}
    void writeClose(std::uint16_t, Done) override {}
    void writePing(Done) override {}
    void abandon(bool) override {}

    std::exception_ptr error_;
};

std::shared_ptr<WebSocketConnection> makeConnection(asio::any_io_executor executor, ConnectionRequest request) {
    try {
        checkHeaders(request);
        auto endpoint = parseEndpoint(request.url);
        if (endpoint.tls) {
            return std::make_shared<BeastConnection<true>>(std::move(executor), std::move(endpoint), std::move(request));
        }
        return std::make_shared<BeastConnection<false>>(std::move(executor), std::move(endpoint), std::move(request));
    } catch (...) {
        return std::make_shared<UnusableConnection>(std::move(executor), std::current_exception());
    }
}

// The receive loop. It holds the connection and the stream's producer side, never the connector.
asio::awaitable<void> receiveLoop(std::shared_ptr<WebSocketConnection> connection,
                                  ServerEventStream::Continuation stream) {
    try {
        co_await connection->open();
    } catch (...) {
        if (!connection->isCancelled()) stream.fail(std::current_exception());
        connection->close(WebSocketConnection::goingAway);
        co_return;
    }

    ServerEventReceiver receiver;
    while (connection->closeCode() == 0 && !connection->isCancelled()) {
        co_await stream.room();
        if (connection->closeCode() != 0 || connection->isCancelled()) break;
        Message message;
        try {
            message = co_await connection->receive();
        } catch (...) {
            if (!connection->isCancelled()) stream.fail(std::current_exception());
            break;
        }
        if (!message.text) {
            // The stream ends here, but the loop goes on receiving until the connection closes.
            stream.fail(RealtimeAPIError(RealtimeAPIError::Code::invalidMessage));
            continue;
        }
        try {
            if (auto event = receiver.receive(message.data)) stream.yield(std::move(*event), message.data.size() + eventOverhead);
        } catch (...) {
            stream.fail(std::current_exception());
            break;
        }
    }
    connection->close(WebSocketConnection::goingAway);
}

}  // namespace
}  // namespace detail

WebSocketConnector::WebSocketConnector(asio::any_io_executor sharedExecutor, ConnectionRequest request)
    : WebSocketConnector(ServerEventStream::make(receiveBacklogLimit), std::move(sharedExecutor), std::move(request)) {}

WebSocketConnector::WebSocketConnector(std::pair<ServerEventStream, ServerEventStream::Continuation> stream,
                                       asio::any_io_executor sharedExecutor, ConnectionRequest request)
    : events_(std::move(stream.first)),
      stream_(std::move(stream.second)),
      connection_(detail::makeConnection(std::move(sharedExecutor), std::move(request))) {
    asio::co_spawn(connection_->strand(), detail::receiveLoop(connection_, stream_), asio::detached);
}

WebSocketConnector::~WebSocketConnector() {
    connection_->cancel(detail::WebSocketConnection::goingAway);
    // Nobody is left to handle what was received and not yet taken.
    stream_.discard();
    DisconnectHandler handler;
    {
        std::lock_guard lock(handlerMutex_);
        handler = std::move(handler_);
    }
    if (handler) handler();
}

asio::awaitable<std::shared_ptr<Connector>> WebSocketConnector::connect(asio::any_io_executor sharedExecutor,
                                                                        ConnectionRequest request) {
    co_return std::make_shared<WebSocketConnector>(std::move(sharedExecutor), std::move(request));
}

std::size_t WebSocketConnector::openConnections() { return detail::WebSocketConnection::live.load(); }

DisconnectHandler WebSocketConnector::onDisconnect() const {
    std::lock_guard lock(handlerMutex_);
    return handler_;
}

void WebSocketConnector::onDisconnect(DisconnectHandler handler) {
    std::lock_guard lock(handlerMutex_);
    handler_ = std::move(handler);
}

asio::awaitable<void> WebSocketConnector::send(const ClientEvent& event) {
    // Not a coroutine: the message is queued now, in the caller's order.
    std::string text;
    try {
        text = encode(event);
    } catch (...) {
        return rethrow(std::current_exception());
    }
    return awaitSend(connection_->enqueue(std::move(text)));
}

}  // namespace realtime
