#include "realtime/transport/websocket_connector.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/defer.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/address.hpp>
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

#include <atomic>
#include <deque>
#include <stdexcept>
#include <variant>

#include "platform/runtime/print.hpp"
#include "realtime/model/codec.hpp"
#include "realtime/transport/server_event_receiver.hpp"

namespace realtime {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using boost::system::system_error;

namespace {

constexpr std::chrono::seconds closeHandshakeLimit{5};

// Room for a microphone chunk's message (about 5.5 KB) and the larger session updates in one write.
constexpr std::size_t writeBufferBytes = 16 * 1024;

// The socket is read only while the events received and not yet taken by the consumer weigh less
// than this: a service that sends faster than the app handles its events waits in its own send
// buffer, not in the app's memory. An event weighs its message's size plus what a decoded event
// costs beyond its text.
constexpr std::size_t receiveBacklogLimit = 4 * 1024 * 1024;
constexpr std::size_t eventOverhead = 512;

class InvalidURLError : public std::invalid_argument {
public:
    explicit InvalidURLError(const std::string& url)
        : std::invalid_argument("Not a ws:// or wss:// URL: " + url) {}
};

struct Endpoint {
    bool tls = false;
    std::string host;       // without brackets
    std::string port;
    std::string authority;  // the Host header: host[:port] as written
    std::string target;     // path and query
};

Endpoint parseEndpoint(const std::string& url) {
    Endpoint endpoint;
    std::string_view rest(url);
    if (rest.starts_with("wss://")) {
        endpoint.tls = true;
        rest.remove_prefix(6);
    } else if (rest.starts_with("ws://")) {
        rest.remove_prefix(5);
    } else {
        throw InvalidURLError(url);
    }
    const auto targetStart = rest.find_first_of("/?");
    endpoint.authority = std::string(rest.substr(0, targetStart));
    endpoint.target = targetStart == std::string_view::npos ? "/" : std::string(rest.substr(targetStart));
    if (endpoint.target.front() == '?') endpoint.target.insert(0, "/");

    std::string_view authority(endpoint.authority);
    if (authority.empty() || authority.find('@') != std::string_view::npos) throw InvalidURLError(url);
    std::string_view port;
    if (authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) throw InvalidURLError(url);
        endpoint.host = std::string(authority.substr(1, close - 1));
        auto after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') throw InvalidURLError(url);
            port = after.substr(1);
        }
    } else {
        const auto colon = authority.find(':');
        endpoint.host = std::string(authority.substr(0, colon));
        if (colon != std::string_view::npos) port = authority.substr(colon + 1);
    }
    if (endpoint.host.empty()) throw InvalidURLError(url);
    if (port.empty()) {
        endpoint.port = endpoint.tls ? "443" : "80";
    } else {
        if (port.find_first_not_of("0123456789") != std::string_view::npos || port.size() > 5) {
            throw InvalidURLError(url);
        }
        endpoint.port = std::string(port);
    }
    return endpoint;
}

bool isIpAddress(const std::string& host) {
    error_code ec;
    asio::ip::make_address(host, ec);
    return !ec;
}

struct Message {
    bool text = false;
    std::string data;
};

// Completion of one queued send: one element once the message has been written, or the write's
// error. A stream that ends without either (its message was dropped unwritten, say with the
// executor) is a failure too, never a success.
using SendDone = platform::AsyncStream<std::monostate>;

struct Outgoing {
    std::string text;
    SendDone::Continuation done;
};

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

// One WebSocket connection. Everything touching the socket runs on the connection's strand;
// enqueue() and cancel() may be called from any thread. Writes (text messages and the closing
// handshake) go through one FIFO writer: Beast allows one write at a time, and messages must
// leave whole and in the order they were queued.
class WebSocketConnection : public std::enable_shared_from_this<WebSocketConnection> {
public:
    explicit WebSocketConnection(asio::any_io_executor executor)
        : strand_(std::move(executor)), closeLimit_(strand_) { ++live; }
    virtual ~WebSocketConnection() { --live; }

    // Connections not yet closed and let go (their closing handshake included).
    static inline std::atomic<std::size_t> live{0};

    const asio::strand<asio::any_io_executor>& strand() const { return strand_; }
    bool isCancelled() const { return cancelled_.load(); }
    // 0 until the connection has closed.
    std::uint16_t closeCode() const { return closeCode_.load(); }

    virtual asio::awaitable<void> open() = 0;
    virtual asio::awaitable<Message> receive() = 0;

    // Queues one text message and returns the stream that ends once it has been written (or
    // fails with the write's error).
    SendDone enqueue(std::string text) {
        auto [done, continuation] = SendDone::make();
        {
            std::lock_guard lock(queueMutex_);
            queue_.push_back(Outgoing{std::move(text), std::move(continuation)});
        }
        // Deferred: a sender on a thread of the shared pool (the microphone's sender, the
        // conversation's sends) has the write started on its own thread once its current step
        // ends, rather than waking another thread of the pool for it.
        asio::defer(strand_, [self = shared_from_this()] { self->pump(); });
        return done;
    }

    // Closes with `code` once the write in progress (if any) has finished; messages still queued,
    // and any queued later, fail with operation_aborted. A connection still opening is abandoned,
    // and so is one whose write in progress and closing handshake do not end within the closing
    // limit (a peer that stopped reading), so that closing always ends.
    void close(websocket::close_code code) {
        asio::post(strand_, [self = shared_from_this(), code] { self->startClosing(code); });
    }

    // Teardown: the loop must end without reporting the closing as a failure.
    void cancel(websocket::close_code code) {
        cancelled_ = true;
        close(code);
    }

protected:
    enum class State { connecting, open, closing, closed };

    // Called on the strand by open() once the handshake has succeeded or failed.
    void opened() {
        if (state_ == State::connecting) state_ = State::open;
        pump();
    }
    void openFailed(std::exception_ptr error) {
        openError_ = std::move(error);
        state_ = State::closed;
        pump();
    }
    void receivedClose(std::uint16_t code) {
        closeCode_ = code == 0 ? static_cast<std::uint16_t>(websocket::close_code::none) : code;
        if (state_ != State::closing) state_ = State::closed;
    }

    virtual void write(const std::string& text, std::function<void(error_code)> done) = 0;
    virtual void writeClose(websocket::close_code code, std::function<void(error_code)> done) = 0;
    virtual void abandon() = 0;  // closes the socket, ending every pending operation

    asio::strand<asio::any_io_executor> strand_;
    State state_ = State::connecting;

private:
    void startClosing(websocket::close_code code) {
        if (closeRequested_) return;
        closeRequested_ = code;
        if (state_ == State::connecting || state_ == State::closed) {
            // Nothing to say goodbye on: a connection still opening, or one that already failed.
            state_ = State::closed;
            abandon();
        } else {
            closeLimit_.expires_after(closeHandshakeLimit);
            closeLimit_.async_wait([weak = weak_from_this()](error_code ec) {
                auto self = weak.lock();
                if (ec || !self || self->state_ == State::closed) return;
                self->state_ = State::closed;
                self->abandon();  // ends the stalled write or handshake, whose completion pumps
            });
        }
        pump();
    }

    std::deque<Outgoing> takeQueue() {
        std::lock_guard lock(queueMutex_);
        return std::exchange(queue_, {});
    }

    void pump() {
        if (closeRequested_ || state_ == State::closed) {
            // Nothing queued now will be written: its senders hear so at once, even while the
            // last write or the closing handshake is still under way.
            auto error = openError_ ? openError_
                         : closeRequested_ ? std::make_exception_ptr(system_error(asio::error::operation_aborted))
                                           : std::make_exception_ptr(system_error(asio::error::not_connected));
            for (auto& item : takeQueue()) item.done.fail(error);
            if (writing_) return;
            if (closeRequested_ && state_ == State::open) {
                state_ = State::closing;
                writing_ = true;
                const auto code = *closeRequested_;
                writeClose(code, [self = shared_from_this(), code](error_code) {
                    self->writing_ = false;
                    self->closeCode_ = static_cast<std::uint16_t>(code);
                    self->state_ = State::closed;
                    self->closeLimit_.cancel();
                    self->abandon();
                    self->pump();  // what was queued meanwhile
                });
            }
            return;
        }
        if (writing_) return;
        if (state_ != State::open) return;
        std::optional<Outgoing> item;
        {
            std::lock_guard lock(queueMutex_);
            if (queue_.empty()) return;
            item.emplace(std::move(queue_.front()));
            queue_.pop_front();
        }
        writing_ = true;
        auto message = std::make_shared<Outgoing>(std::move(*item));
        write(message->text, [self = shared_from_this(), message](error_code ec) {
            self->writing_ = false;
            if (ec) {
                message->done.fail(system_error(ec));
            } else {
                message->done.yield({});
            }
            self->pump();
        });
    }

    std::atomic<bool> cancelled_{false};
    std::atomic<std::uint16_t> closeCode_{0};
    std::mutex queueMutex_;
    std::deque<Outgoing> queue_;
    // Strand only:
    bool writing_ = false;
    std::optional<websocket::close_code> closeRequested_;
    std::exception_ptr openError_;
    asio::steady_timer closeLimit_;
};

namespace {

template <bool Tls>
class BeastConnection final : public WebSocketConnection {
    using Layer = std::conditional_t<Tls, beast::ssl_stream<beast::tcp_stream>, beast::tcp_stream>;

public:
    BeastConnection(asio::any_io_executor executor, Endpoint endpoint, ConnectionRequest request)
        : WebSocketConnection(std::move(executor)),
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
        auto [ec, size] = co_await ws_.async_read(buffer, asio::as_tuple(asio::use_awaitable));
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

    void write(const std::string& text, std::function<void(error_code)> done) override {
        ws_.text(true);
        ws_.async_write(asio::buffer(text), [done = std::move(done)](error_code ec, std::size_t) { done(ec); });
    }

    void writeClose(websocket::close_code code, std::function<void(error_code)> done) override {
        websocket::stream_base::timeout limits{};
        limits.handshake_timeout = closeHandshakeLimit;
        limits.idle_timeout = websocket::stream_base::none();
        limits.keep_alive_pings = false;
        ws_.set_option(limits);
        ws_.async_close(websocket::close_reason(code), [done = std::move(done)](error_code ec) { done(ec); });
    }

    void abandon() override {
        resolver_.cancel();
        error_code ignored;
        beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
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
        : WebSocketConnection(std::move(executor)), error_(std::move(error)) {}

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
    void write(const std::string&, std::function<void(error_code)>) override {}
    void writeClose(websocket::close_code, std::function<void(error_code)>) override {}
    void abandon() override {}

    std::exception_ptr error_;
};

class InvalidHeaderError : public std::invalid_argument {
public:
    explicit InvalidHeaderError(const std::string& name)
        : std::invalid_argument("The request header " + name + " contains a line break or NUL character") {}
};

// A name or value with CR, LF or NUL would end its header line early and start lines of its own.
void checkHeaders(const ConnectionRequest& request) {
    constexpr std::string_view breaking("\r\n\0", 3);
    for (const auto& [name, value] : request.headers) {
        if (name.find_first_of(breaking) != std::string::npos || value.find_first_of(breaking) != std::string::npos) {
            throw InvalidHeaderError(name.substr(0, name.find_first_of(breaking)));
        }
    }
}

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
        connection->close(websocket::close_code::going_away);
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
    connection->close(websocket::close_code::going_away);
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
    connection_->cancel(websocket::close_code::going_away);
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
