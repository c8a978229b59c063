#pragma once
// One WebSocket connection of the connector, apart from the library that speaks the protocol.
// Everything touching the socket runs on the connection's strand; enqueue(), close() and cancel()
// may be called from any thread. Writes (text messages and the closing handshake) go through one
// FIFO writer: messages must leave whole and in the order they were queued.
//
// Liveness: while the connection is open and a receive is pending, every frame heard from the
// service (a pong included) counts as life. After pingAfter of silence a ping asks for one, and
// after silenceLimit of it the connection counts as lost: the socket is shut, and the pending
// receive fails with ConnectionSilentError. A watch that wakes far later than it asked (the
// process was stopped or starved) gives the service a fresh limit instead. The clock stands still
// while the machine sleeps, so a sleep counts as no silence at all.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/system/error_code.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>

#include "platform/runtime/async_stream.hpp"

namespace realtime::detail {

namespace asio = boost::asio;

// The closing handshake gets this long; then the socket is shut, whatever is still unwritten.
inline constexpr std::chrono::seconds closeHandshakeLimit{5};

struct Liveness {
    std::chrono::milliseconds silenceLimit;
    std::chrono::milliseconds pingAfter;
};

// An open connection heard nothing from the service, not even a pong, for the silence limit.
class ConnectionSilentError : public std::runtime_error {
public:
    explicit ConnectionSilentError(std::chrono::milliseconds silence);
};

struct Message {
    bool text = false;
    std::string data;
};

// Completion of one queued send: one element once the message has been written, or the write's
// error. A stream that ends without either (its message was dropped unwritten, say with the
// executor) is a failure too, never a success.
using SendDone = platform::AsyncStream<std::monostate>;

class WebSocketConnection : public std::enable_shared_from_this<WebSocketConnection> {
public:
    // The close codes used here (RFC 6455).
    static constexpr std::uint16_t goingAway = 1001;

    WebSocketConnection(asio::any_io_executor executor, Liveness liveness);
    virtual ~WebSocketConnection();

    // Connections not yet closed and let go (their closing handshake included).
    static inline std::atomic<std::size_t> live{0};

    const asio::strand<asio::any_io_executor>& strand() const { return strand_; }
    bool isCancelled() const { return cancelled_.load(); }
    // 0 until the connection has closed.
    std::uint16_t closeCode() const { return closeCode_.load(); }

    virtual asio::awaitable<void> open() = 0;
    // The next whole message; throws when the connection fails or closes.
    virtual asio::awaitable<Message> receive() = 0;

    // Queues one text message and returns the stream that ends once it has been written (or
    // fails with the write's error).
    SendDone enqueue(std::string text);

    // Closes with `code` once the write in progress (if any) has finished; messages still queued,
    // and any queued later, fail with operation_aborted. A connection still opening is abandoned,
    // and so is one whose write in progress and closing handshake do not end within the closing
    // limit (a peer that stopped reading, a network that went away): its socket is shut and what
    // the system still held of its writes is dropped, never sent later.
    void close(std::uint16_t code);

    // Teardown: the loop must end without reporting the closing as a failure.
    void cancel(std::uint16_t code) {
        cancelled_ = true;
        close(code);
    }

protected:
    enum class State { connecting, open, closing, closed };
    using Done = std::function<void(boost::system::error_code)>;

    // Called on the strand by open() once the handshake has succeeded or failed.
    void opened();
    void openFailed(std::exception_ptr error);
    void receivedClose(std::uint16_t code);
    // On the strand, by receive(): a read is under way (or no longer), and a frame was heard.
    void reading(bool pending);
    void heard() { lastHeard_ = std::chrono::steady_clock::now(); }
    // The silence limit ended the connection; receive() reports its error.
    std::exception_ptr silenceError() const { return silenceError_; }

    virtual void write(const std::string& text, Done done) = 0;
    virtual void writeClose(std::uint16_t code, Done done) = 0;
    virtual void writePing(Done done) = 0;
    // Shuts the socket, ending every pending operation; with `discardUnsent` what the system has
    // not yet sent of our writes is dropped (the connection is reset) instead of delivered.
    virtual void abandon(bool discardUnsent) = 0;

    asio::strand<asio::any_io_executor> strand_;
    State state_ = State::connecting;

private:
    struct Outgoing {
        std::string text;
        SendDone::Continuation done;
    };

    void startClosing(std::uint16_t code);
    std::deque<Outgoing> takeQueue();
    void pump();
    void watch();
    void checkLiveness();

    std::atomic<bool> cancelled_{false};
    std::atomic<std::uint16_t> closeCode_{0};
    std::mutex queueMutex_;
    std::deque<Outgoing> queue_;
    // Strand only:
    bool writing_ = false;
    bool pinging_ = false;
    std::optional<std::uint16_t> closeRequested_;
    std::exception_ptr openError_;
    asio::steady_timer closeLimit_;
    // Liveness, strand only.
    Liveness liveness_;
    asio::steady_timer watch_;
    bool readPending_ = false;
    std::chrono::steady_clock::time_point lastHeard_;
    std::chrono::steady_clock::time_point lastPing_;
    std::chrono::steady_clock::time_point watchDue_;
    std::exception_ptr silenceError_;
};

}  // namespace realtime::detail
