#pragma once
// A loopback HTTP/1.1 server standing in for the product backend: it records every request and
// answers from a script. It runs on a thread of its own; everything here is safe from any thread.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace support {

struct RecordedRequest {
    std::string method;
    std::string path;  // the request target, e.g. "/session"
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // The first header of that name (any case), or nothing.
    std::optional<std::string> header(const std::string& name) const;
    // How many headers of that name (any case) were sent.
    std::size_t headerCount(const std::string& name) const;
};

struct ScriptedReply {
    int status = 200;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    // Waits this long before answering (or dropping).
    std::chrono::milliseconds delay{0};
    // Closes the connection instead of answering.
    bool drop = false;

    static ScriptedReply json(int status, std::string body) {
        return ScriptedReply{status, std::move(body), {{"Content-Type", "application/json"}}, {}, false};
    }
    static ScriptedReply text(int status, std::string body) {
        return ScriptedReply{status, std::move(body), {{"Content-Type", "text/plain"}}, {}, false};
    }
    static ScriptedReply dropped() { return ScriptedReply{0, {}, {}, {}, true}; }
    ScriptedReply after(std::chrono::milliseconds wait) && {
        delay = wait;
        return std::move(*this);
    }
};

class FakeBackend {
public:
    // Listens on 127.0.0.1 at a free port.
    FakeBackend();
    ~FakeBackend();
    FakeBackend(const FakeBackend&) = delete;
    FakeBackend& operator=(const FakeBackend&) = delete;

    // "http://127.0.0.1:<port>/"
    std::string baseUrl() const;
    std::uint16_t port() const;

    // Replies for `path` ("/session"): queued replies are used once each, in order; after them the
    // standing reply answers; without either the reply is 404.
    void enqueue(const std::string& path, ScriptedReply reply);
    void setReply(const std::string& path, ScriptedReply reply);
    // Answers every request for `path` with what `responder` makes of it (called on the server's
    // thread, outside any lock); it takes precedence over queued and standing replies. An empty
    // responder removes the one set.
    using Responder = std::function<ScriptedReply(const RecordedRequest&)>;
    void setResponder(const std::string& path, Responder responder);

    std::vector<RecordedRequest> requests() const;
    std::vector<RecordedRequest> requestsTo(const std::string& path) const;
    // Waits until at least `count` requests have arrived; false on time-out.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    // The targets of the requests whose client closed the connection while its reply was still
    // delayed, in the order they were given up.
    std::vector<std::string> abandoned() const;

private:
    struct Server;
    std::unique_ptr<Server> server_;
};

}  // namespace support
