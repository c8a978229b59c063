#include "support/realtime_server.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>


#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <variant>

#include <sys/ioctl.h>

#include "support/newer_service.hpp"
#include "support/silenceable_stream.hpp"

namespace support {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;

std::optional<std::string> RecordedHandshake::header(std::string_view name) const {
    auto lower = [](std::string_view text) {
        std::string result(text);
        std::transform(result.begin(), result.end(), result.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return result;
    };
    const auto wanted = lower(name);
    for (const auto& [key, value] : headers) {
        if (lower(key) == wanted) return value;
    }
    return std::nullopt;
}

namespace {

struct Text {
    std::string data;
};
struct Binary {
    std::string data;
};
struct Close {
    std::uint16_t code;
};
struct Drop {};
// Sets the connection's mark to the time it is played.
struct Mark {};
// Holds the script until `sinceMark` after the mark.
struct WaitUntil {
    std::chrono::nanoseconds sinceMark;
};
// Sends `count` messages made by `message`, `perSecond` a second (as fast as it can at 0).
struct Flood {
    std::function<std::string(std::size_t)> message;
    std::size_t count = 0;
    std::size_t perSecond = 0;
};
using Action = std::variant<Text, Binary, Close, Drop, Mark, WaitUntil, Flood>;

}  // namespace

// One accepted connection, as seen by the test.
struct ConnectionRecord {
    RecordedHandshake handshake;
    std::vector<ReceivedFrame> frames;
    std::optional<std::uint16_t> clientClose;
    std::deque<Action> script;
    std::function<void()> wake;  // set once the WebSocket is open; runs the script
    std::chrono::steady_clock::time_point mark;
    std::vector<SentMessage> sent;
    std::atomic<std::size_t> floodSent{0};
    int socket = -1;  // while the connection is open
};

struct RealtimeServer::Impl {
    explicit Impl(Security security) : security(security), acceptor(context) {}

    Security security;
    asio::io_context context;
    tcp::acceptor acceptor;
    std::optional<ssl::context> tls;
    std::thread thread;

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::shared_ptr<ConnectionRecord>> connections;
    std::deque<Action> pendingScript;  // for the next connection
    unsigned refuseStatus = 0;
    ServiceBehaviour behaviour;
    std::atomic<bool> handshakesHeld = false;
    std::atomic<bool> readingPaused = false;
    std::shared_ptr<std::atomic<bool>> answeringStopped = std::make_shared<std::atomic<bool>>(false);
    std::atomic<bool> newerService = false;

    // Returns once `flag` is clear, looking every few milliseconds.
    asio::awaitable<void> waitWhile(const std::atomic<bool>& flag) {
        asio::steady_timer timer(context);
        while (flag.load()) {
            timer.expires_after(2ms);
            co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
        }
    }

    void perform(Action action) {
        std::function<void()> wake;
        {
            std::lock_guard lock(mutex);
            if (connections.empty()) {
                pendingScript.push_back(std::move(action));
                return;
            }
            auto& latest = connections.back();
            latest->script.push_back(std::move(action));
            wake = latest->wake;
        }
        if (wake) asio::post(context, wake);
    }

    void notify() {
        { std::lock_guard lock(mutex); }
        changed.notify_all();
    }

    asio::awaitable<void> acceptLoop() {
        for (;;) {
            auto [ec, socket] = co_await acceptor.async_accept(asio::as_tuple(asio::use_awaitable));
            if (ec) co_return;
            if (security == Security::tls) {
                asio::co_spawn(context, session(beast::ssl_stream<beast::tcp_stream>(std::move(socket), *tls)),
                               asio::detached);
            } else {
                asio::co_spawn(context, session(SilenceableStream(beast::tcp_stream(std::move(socket)), answeringStopped)),
                               asio::detached);
            }
        }
    }

    template <class Layer>
    asio::awaitable<void> session(Layer layer) {
        if constexpr (!std::is_same_v<Layer, SilenceableStream>) {
            auto [ec] = co_await layer.async_handshake(ssl::stream_base::server, asio::as_tuple(asio::use_awaitable));
            if (ec) co_return;
        }
        co_await waitWhile(handshakesHeld);
        // The head is read as it came, so that the test sees the bytes the client wrote.
        std::string head;
        auto [ec, headSize] = co_await asio::async_read_until(layer, asio::dynamic_buffer(head), "\r\n\r\n",
                                                              asio::as_tuple(asio::use_awaitable));
        if (ec) co_return;
        head.resize(headSize);
        http::request_parser<http::string_body> parser;
        error_code parseError;
        parser.put(asio::buffer(head), parseError);
        if (parseError || !parser.is_done()) co_return;
        auto request = parser.release();
        auto record = std::make_shared<ConnectionRecord>();
        record->handshake.method = std::string(request.method_string());
        record->handshake.target = std::string(request.target());
        record->handshake.raw = head;
        for (const auto& field : request) {
            record->handshake.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
        }
        unsigned status;
        {
            std::lock_guard lock(mutex);
            status = refuseStatus;
            record->script = std::exchange(pendingScript, {});
            connections.push_back(record);
        }
        if (status != 0) {
            http::response<http::string_body> response(static_cast<http::status>(status), request.version());
            response.set(http::field::content_type, "application/json");
            response.body() = R"({"error":{"message":"refused by the test server"}})";
            response.prepare_payload();
            co_await http::async_write(layer, response, asio::as_tuple(asio::use_awaitable));
            error_code ignored;
            beast::get_lowest_layer(layer).socket().shutdown(tcp::socket::shutdown_both, ignored);
            {
                std::lock_guard lock(mutex);
                record->clientClose = 0;
            }
            notify();
            co_return;
        }

        auto ws = std::make_shared<websocket::stream<Layer>>(std::move(layer));
        ws->set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
        {
            auto [ec] = co_await ws->async_accept(request, asio::as_tuple(asio::use_awaitable));
            if (ec) co_return;
        }

        // The script runs one action at a time; the read loop below runs beside it.
        auto writing = std::make_shared<bool>(false);
        auto pump = std::make_shared<std::function<void()>>();
        *pump = [this, record, ws, writing, weakPump = std::weak_ptr(pump)] {
            if (*writing) return;
            std::optional<Action> next;
            {
                std::lock_guard lock(mutex);
                if (record->script.empty()) return;
                next.emplace(std::move(record->script.front()));
                record->script.pop_front();
            }
            auto again = [weakPump, writing](auto&&...) {
                *writing = false;
                if (auto pump = weakPump.lock()) (*pump)();
            };
            *writing = true;
            if (auto* text = std::get_if<Text>(&*next)) {
                auto data = std::make_shared<std::string>(std::move(text->data));
                ws->text(true);
                // Sent once the socket has it: a write waits behind a pong the server is still
                // writing, and a test that silences the server right after a message was sent must
                // not silence that message too.
                ws->async_write(asio::buffer(*data), [this, record, data, again](auto&&...) {
                    {
                        std::lock_guard lock(mutex);
                        record->sent.push_back({std::chrono::steady_clock::now(), *data});
                    }
                    changed.notify_all();
                    again();
                });
            } else if (auto* binary = std::get_if<Binary>(&*next)) {
                auto data = std::make_shared<std::string>(std::move(binary->data));
                ws->binary(true);
                ws->async_write(asio::buffer(*data), [data, again](auto&&...) { again(); });
            } else if (auto* flood = std::get_if<Flood>(&*next)) {
                asio::co_spawn(context, floodLoop(ws, std::move(*flood), record),
                               [again](std::exception_ptr) { again(); });
            } else if (auto* close = std::get_if<Close>(&*next)) {
                ws->async_close(websocket::close_reason(close->code), again);
            } else if (std::holds_alternative<Mark>(*next)) {
                {
                    std::lock_guard lock(mutex);
                    record->mark = std::chrono::steady_clock::now();
                }
                asio::post(context, again);
            } else if (auto* wait = std::get_if<WaitUntil>(&*next)) {
                std::chrono::steady_clock::time_point deadline;
                {
                    std::lock_guard lock(mutex);
                    deadline = record->mark + std::chrono::duration_cast<std::chrono::steady_clock::duration>(wait->sinceMark);
                }
                auto timer = std::make_shared<asio::steady_timer>(context, deadline);
                timer->async_wait([timer, again](auto&&...) { again(); });
            } else {
                beast::get_lowest_layer(*ws).close();
                again();
            }
        };
        {
            std::lock_guard lock(mutex);
            record->wake = *pump;
            record->socket = beast::get_lowest_layer(*ws).socket().native_handle();
        }
        notify();
        (*pump)();

        for (;;) {
            co_await waitWhile(readingPaused);
            beast::flat_buffer message;
            auto [ec, n] = co_await ws->async_read(message, asio::as_tuple(asio::use_awaitable));
            if (ec) {
                {
                    std::lock_guard lock(mutex);
                    record->clientClose = ec == websocket::error::closed ? ws->reason().code : 0;
                    record->wake = nullptr;
                    record->socket = -1;
                }
                notify();
                break;
            }
            {
                std::lock_guard lock(mutex);
                record->frames.push_back({ws->got_text() ? ReceivedFrame::Kind::text : ReceivedFrame::Kind::binary,
                                          beast::buffers_to_string(message.data())});
            }
            notify();
        }
        *pump = nullptr;
    }

    // A server's text frame: FIN and the text opcode, the length, no mask.
    static void appendTextFrame(std::string& out, const std::string& text) {
        out.push_back(static_cast<char>(0x81));
        const auto size = static_cast<std::uint64_t>(text.size());
        if (size < 126) {
            out.push_back(static_cast<char>(size));
        } else if (size < 65536) {
            out.push_back(static_cast<char>(126));
            for (int shift = 8; shift >= 0; shift -= 8) out.push_back(static_cast<char>((size >> shift) & 0xff));
        } else {
            out.push_back(static_cast<char>(127));
            for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<char>((size >> shift) & 0xff));
        }
        out += text;
    }

    // Over plain TCP the flood's frames go straight to the socket, as many as are due in one write
    // of up to 64 kB: one WebSocket write per message could not keep up with the rates a flood
    // needs. (A closing handshake that meets a flood may then have its frame written in the middle
    // of the flood's, as a careless server's would be.)
    template <class Stream>
    asio::awaitable<void> floodLoop(std::shared_ptr<Stream> ws, Flood flood, std::shared_ptr<ConnectionRecord> record) {
        asio::steady_timer timer(context);
        const auto start = std::chrono::steady_clock::now();
        auto dueAt = [&](std::size_t n) {
            return start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(
                               static_cast<double>(n) / static_cast<double>(flood.perSecond)));
        };
        std::string batch;
        std::size_t n = 0;
        while (n < flood.count) {
            if (flood.perSecond != 0 && dueAt(n) > std::chrono::steady_clock::now()) {
                timer.expires_at(std::max(dueAt(n), std::chrono::steady_clock::now() + 1ms));
                co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
            }
            batch.clear();
            std::size_t frames = 0;
            const auto now = std::chrono::steady_clock::now();
            do {
                appendTextFrame(batch, flood.message(n + frames));
                ++frames;
            } while (n + frames < flood.count && batch.size() < 65536 &&
                     (flood.perSecond == 0 || dueAt(n + frames) <= now));
            error_code ec;
            if constexpr (std::is_same_v<Stream, websocket::stream<SilenceableStream>>) {
                std::tie(ec, std::ignore) = co_await asio::async_write(
                    beast::get_lowest_layer(*ws).socket(), asio::buffer(batch), asio::as_tuple(asio::use_awaitable));
            } else {
                // Through TLS every message is a WebSocket write of its own.
                for (std::size_t i = 0; i < frames && !ec; ++i) {
                    const auto text = flood.message(n + i);
                    ws->text(true);
                    std::tie(ec, std::ignore) =
                        co_await ws->async_write(asio::buffer(text), asio::as_tuple(asio::use_awaitable));
                }
            }
            if (ec) co_return;
            n += frames;
            record->floodSent += frames;
        }
    }

    // The most recent connection, or none while no connection has reached the server: the app may
    // count a call as connected before its handshake has arrived. Called with the mutex held.
    ConnectionRecord* newest() const { return connections.empty() ? nullptr : connections.back().get(); }

    // The time of the first message of `type` in `sent` from index `from` on; `from` moves past
    // what was looked at. Only the messages that name the type are parsed: the deltas are large.
    static std::optional<std::chrono::steady_clock::time_point> firstOfType(const std::vector<SentMessage>& sent,
                                                                            std::string_view type, std::size_t& from) {
        for (; from < sent.size(); ++from) {
            const auto& message = sent[from];
            if (message.text.find(type) == std::string::npos) continue;
            if (Json::parse(message.text)["type"] == Json(type)) return message.time;
        }
        return std::nullopt;
    }

    std::shared_ptr<ConnectionRecord> latest() const {
        std::lock_guard lock(mutex);
        if (connections.empty()) throw std::logic_error("no connection has reached the test server");
        return connections.back();
    }

    template <class Predicate>
    bool waitUntil(std::chrono::milliseconds timeout, Predicate predicate) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, predicate);
    }
};

RealtimeServer::RealtimeServer(ServiceBehaviour behaviour, Security security) : RealtimeServer(security) {
    setBehaviour(behaviour);
}

RealtimeServer::RealtimeServer(Security security) : impl_(std::make_unique<Impl>(security)) {
    if (security == Security::tls) {
        const auto& certificate = TestCertificate::get();
        impl_->tls.emplace(ssl::context::tls_server);
        impl_->tls->use_certificate_chain(asio::buffer(certificate.certificatePem));
        impl_->tls->use_private_key(asio::buffer(certificate.privateKeyPem), ssl::context::pem);
    }
    tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
    impl_->acceptor.open(endpoint.protocol());
    impl_->acceptor.set_option(tcp::acceptor::reuse_address(true));
    impl_->acceptor.bind(endpoint);
    impl_->acceptor.listen();
    port_ = impl_->acceptor.local_endpoint().port();
    asio::co_spawn(impl_->context, impl_->acceptLoop(), asio::detached);
    impl_->thread = std::thread([impl = impl_.get()] { impl->context.run(); });
}

RealtimeServer::~RealtimeServer() {
    impl_->context.stop();
    impl_->thread.join();
    // A session still open keeps its script runner in its record; let go of it so that the
    // sessions' coroutines, destroyed with the context, release everything.
    std::lock_guard lock(impl_->mutex);
    for (auto& record : impl_->connections) record->wake = nullptr;
}

std::string RealtimeServer::baseUrl() const {
    return (impl_->security == Security::tls ? "wss://localhost:" : "ws://127.0.0.1:") + std::to_string(port_);
}

void RealtimeServer::refuseHandshakes(unsigned status) {
    std::lock_guard lock(impl_->mutex);
    impl_->refuseStatus = status;
}

void RealtimeServer::holdHandshakes(bool held) { impl_->handshakesHeld = held; }
void RealtimeServer::pauseReading(bool paused) { impl_->readingPaused = paused; }
void RealtimeServer::stopAnswering(bool stopped) { impl_->answeringStopped->store(stopped); }

std::size_t RealtimeServer::unreadBytes() const {
    std::lock_guard lock(impl_->mutex);
    const auto* record = impl_->newest();
    int unread = 0;
    if (!record || record->socket < 0 || ::ioctl(record->socket, FIONREAD, &unread) != 0) return 0;
    return static_cast<std::size_t>(unread);
}

void RealtimeServer::actAsNewerService(bool newer) { impl_->newerService = newer; }

void RealtimeServer::sendText(std::string text) {
    if (!impl_->newerService) return impl_->perform(Text{std::move(text)});
    for (auto& sent : asNewerService(text)) impl_->perform(Text{std::move(sent)});
}
void RealtimeServer::sendBinary(std::string data) { impl_->perform(Binary{std::move(data)}); }
void RealtimeServer::close(std::uint16_t code) { impl_->perform(Close{code}); }
void RealtimeServer::drop() { impl_->perform(Drop{}); }
void RealtimeServer::flood(std::function<std::string(std::size_t)> message, std::size_t count, std::size_t perSecond) {
    impl_->perform(Flood{std::move(message), count, perSecond});
}

std::size_t RealtimeServer::floodSent() const { return impl_->latest()->floodSent.load(); }

void RealtimeServer::setBehaviour(ServiceBehaviour behaviour) {
    std::lock_guard lock(impl_->mutex);
    impl_->behaviour = behaviour;
}

ServiceBehaviour RealtimeServer::behaviour() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->behaviour;
}

void RealtimeServer::sendAnswer(const SpokenAnswer& answer) {
    const auto behaviour = this->behaviour();
    auto events = spokenAnswerEvents(answer);
    for (auto& event : events.opening) sendText(event.dump());
    using Pace = ServiceBehaviour::Pace;
    const bool paced = behaviour.answerPace != Pace::immediate;
    // Delta i is due at i intervals (plus the jitter's reach, so that none is due before the
    // first) after the mark, moved by up to the jitter either way.
    std::chrono::nanoseconds interval = answer.deltaDuration;
    if (behaviour.answerPace == Pace::fastAnswer) interval /= 6;
    const std::chrono::nanoseconds jitter = behaviour.jitter;
    std::mt19937 random(behaviour.jitterSeed);
    std::uniform_int_distribution<std::int64_t> spread(-jitter.count(), jitter.count());
    if (paced) impl_->perform(Mark{});
    for (std::size_t i = 0; i < events.deltas.size(); ++i) {
        if (paced) {
            const auto due = jitter + interval * static_cast<std::int64_t>(i) + std::chrono::nanoseconds(spread(random));
            impl_->perform(WaitUntil{due});
        }
        for (auto& transcript : events.deltas[i].transcript) sendText(transcript.dump());
        sendText(events.deltas[i].audio.dump());
    }
    for (auto& event : events.closing) sendText(event.dump());
}

std::vector<SentMessage> RealtimeServer::sent() const {
    std::lock_guard lock(impl_->mutex);
    auto* record = impl_->newest();
    return record ? record->sent : std::vector<SentMessage>{};
}

std::optional<std::chrono::steady_clock::time_point> RealtimeServer::firstSent(std::string_view type) const {
    std::lock_guard lock(impl_->mutex);
    auto* record = impl_->newest();
    std::size_t from = 0;
    return record ? Impl::firstOfType(record->sent, type, from) : std::nullopt;
}

std::optional<std::chrono::steady_clock::time_point> RealtimeServer::waitForSent(std::string_view type,
                                                                                 std::chrono::milliseconds timeout) const {
    // Each wake looks only at what was sent since the last one (a new connection starts over).
    std::optional<std::chrono::steady_clock::time_point> found;
    const ConnectionRecord* looked = nullptr;
    std::size_t from = 0;
    impl_->waitUntil(timeout, [&] {
        auto* record = impl_->newest();
        if (!record) return false;
        if (record != looked) {
            looked = record;
            from = 0;
        }
        found = Impl::firstOfType(record->sent, type, from);
        return found.has_value();
    });
    return found;
}

std::optional<AnswerSent> RealtimeServer::waitForAnswerSent(std::chrono::milliseconds timeout) const {
    const auto firstDelta = waitForSent("response.audio.delta", timeout);
    const auto done = firstDelta ? waitForSent("response.done", timeout) : std::nullopt;
    if (!done) return std::nullopt;
    return AnswerSent{*firstDelta, *done};
}

bool RealtimeServer::waitForConnection(std::size_t count, std::chrono::milliseconds timeout) {
    return impl_->waitUntil(timeout, [&] {
        if (impl_->connections.size() < count) return false;
        auto& last = impl_->connections[count - 1];
        return last->wake != nullptr || last->clientClose.has_value();
    });
}

std::size_t RealtimeServer::connectionCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->connections.size();
}

RecordedHandshake RealtimeServer::handshake() const {
    auto record = impl_->latest();
    std::lock_guard lock(impl_->mutex);
    return record->handshake;
}

std::vector<ReceivedFrame> RealtimeServer::frames() const {
    std::lock_guard lock(impl_->mutex);
    auto* record = impl_->newest();
    return record ? record->frames : std::vector<ReceivedFrame>{};
}

bool RealtimeServer::waitForFrames(std::size_t count, std::chrono::milliseconds timeout) {
    return impl_->waitUntil(timeout, [&] {
        auto* record = impl_->newest();
        return record && record->frames.size() >= count;
    });
}

std::optional<std::uint16_t> RealtimeServer::waitForClientClose(std::chrono::milliseconds timeout) {
    std::optional<std::uint16_t> code;
    impl_->waitUntil(timeout, [&] {
        auto* record = impl_->newest();
        code = record ? record->clientClose : std::nullopt;
        return code.has_value();
    });
    return code;
}

}  // namespace support
