#include "support/fake_backend.hpp"

#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <cctype>
#include <thread>

namespace support {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using asio::ip::tcp;

namespace {

bool sameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
    for (auto& [key, value] : headers) {
        if (sameName(key, name)) return value;
    }
    return std::nullopt;
}

std::size_t RecordedRequest::headerCount(const std::string& name) const {
    return static_cast<std::size_t>(
        std::count_if(headers.begin(), headers.end(), [&](auto& entry) { return sameName(entry.first, name); }));
}

struct FakeBackend::Server {
    asio::io_context io;
    tcp::acceptor acceptor{io};
    std::uint16_t port = 0;
    std::thread thread;

    mutable std::mutex mutex;
    mutable std::condition_variable arrived;
    std::vector<RecordedRequest> recorded;
    std::map<std::string, std::deque<ScriptedReply>> queued;
    std::map<std::string, ScriptedReply> standing;
    std::map<std::string, Responder> responders;
    std::vector<std::string> abandonedTargets;

    ScriptedReply replyFor(const RecordedRequest& request) {
        std::unique_lock lock(mutex);
        recorded.push_back(request);
        arrived.notify_all();
        std::string path = request.path.substr(0, request.path.find('?'));
        if (auto found = responders.find(path); found != responders.end()) {
            auto responder = found->second;
            lock.unlock();
            return responder(request);
        }
        if (auto found = queued.find(path); found != queued.end() && !found->second.empty()) {
            auto reply = std::move(found->second.front());
            found->second.pop_front();
            return reply;
        }
        if (auto found = standing.find(path); found != standing.end()) return found->second;
        return ScriptedReply::text(404, "not found");
    }

    asio::awaitable<void> serve(tcp::socket socket) {
        boost::beast::flat_buffer buffer;
        try {
            while (true) {
                http::request<http::string_body> incoming;
                co_await http::async_read(socket, buffer, incoming, asio::use_awaitable);
                RecordedRequest request;
                request.method = std::string(incoming.method_string());
                request.path = std::string(incoming.target());
                for (auto& field : incoming) {
                    request.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
                }
                request.body = incoming.body();

                ScriptedReply reply = replyFor(request);
                if (reply.delay.count() > 0 && co_await givenUpDuring(socket, reply.delay)) {
                    std::lock_guard lock(mutex);
                    abandonedTargets.push_back(request.path);
                    co_return;
                }
                if (reply.drop) {
                    boost::system::error_code ignored;
                    socket.shutdown(tcp::socket::shutdown_both, ignored);
                    socket.close(ignored);
                    co_return;
                }
                http::response<http::string_body> outgoing{static_cast<http::status>(reply.status), 11};
                for (auto& [name, value] : reply.headers) outgoing.set(name, value);
                outgoing.body() = reply.body;
                outgoing.keep_alive(incoming.keep_alive());
                outgoing.prepare_payload();
                co_await http::async_write(socket, outgoing, asio::use_awaitable);
                if (!incoming.keep_alive()) co_return;
            }
        } catch (const std::exception&) {
            // The client went away.
        }
    }

    // Waits `delay`, or less when the client closes the connection first (true then).
    static asio::awaitable<bool> givenUpDuring(tcp::socket& socket, std::chrono::milliseconds delay) {
        struct Wait {
            asio::steady_timer timer;
            bool readable = false;
        };
        auto wait = std::make_shared<Wait>(Wait{asio::steady_timer(socket.get_executor(), delay)});
        // The handler touches only the shared state: it may run after this coroutine has moved on.
        socket.async_wait(tcp::socket::wait_read, [wait](boost::system::error_code error) {
            if (error) return;
            wait->readable = true;
            wait->timer.cancel();
        });
        boost::system::error_code ignored;
        co_await wait->timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        socket.cancel(ignored);
        // Readable with nothing to read: the client has closed its side.
        co_return wait->readable && socket.available(ignored) == 0;
    }

    asio::awaitable<void> accept() {
        while (true) {
            tcp::socket socket = co_await acceptor.async_accept(asio::use_awaitable);
            asio::co_spawn(io, serve(std::move(socket)), asio::detached);
        }
    }
};

FakeBackend::FakeBackend() : server_(std::make_unique<Server>()) {
    tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
    server_->acceptor.open(endpoint.protocol());
    server_->acceptor.set_option(tcp::acceptor::reuse_address(true));
    server_->acceptor.bind(endpoint);
    server_->acceptor.listen();
    server_->port = server_->acceptor.local_endpoint().port();
    asio::co_spawn(server_->io, server_->accept(), asio::detached);
    server_->thread = std::thread([server = server_.get()] { server->io.run(); });
}

FakeBackend::~FakeBackend() {
    server_->io.stop();
    server_->thread.join();
}

std::uint16_t FakeBackend::port() const { return server_->port; }

std::string FakeBackend::baseUrl() const { return "http://127.0.0.1:" + std::to_string(port()) + "/"; }

void FakeBackend::enqueue(const std::string& path, ScriptedReply reply) {
    std::lock_guard lock(server_->mutex);
    server_->queued[path].push_back(std::move(reply));
}

void FakeBackend::setReply(const std::string& path, ScriptedReply reply) {
    std::lock_guard lock(server_->mutex);
    server_->standing[path] = std::move(reply);
}

void FakeBackend::setResponder(const std::string& path, Responder responder) {
    std::lock_guard lock(server_->mutex);
    if (responder) {
        server_->responders[path] = std::move(responder);
    } else {
        server_->responders.erase(path);
    }
}

std::vector<RecordedRequest> FakeBackend::requests() const {
    std::lock_guard lock(server_->mutex);
    return server_->recorded;
}

std::vector<RecordedRequest> FakeBackend::requestsTo(const std::string& path) const {
    std::vector<RecordedRequest> matching;
    for (auto& request : requests()) {
        if (request.path == path) matching.push_back(request);
    }
    return matching;
}

std::vector<std::string> FakeBackend::abandoned() const {
    std::lock_guard lock(server_->mutex);
    return server_->abandonedTargets;
}

bool FakeBackend::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(server_->mutex);
    return server_->arrived.wait_for(lock, timeout, [&] { return server_->recorded.size() >= count; });
}

}  // namespace support
