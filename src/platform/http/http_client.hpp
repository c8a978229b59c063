#pragma once
// HTTP requests on libcurl: every transfer of a client runs on one worker thread of its own, and
// every request is completed exactly once: with the reply (whatever its status), or with an
// HttpError (cannot connect, time-out, cancellation, the client shutting down, ...).

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_type.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace platform {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// The bound on a reply body unless a request sets its own: nothing read from the network is trusted
// in size.
inline constexpr std::size_t maxReplyBodySize = std::size_t{1} << 20;

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    HttpHeaders headers;
    // Sent as it is; a request with a body gets no Content-Type unless `headers` names one.
    std::optional<std::string> body;
    std::chrono::milliseconds timeout{std::chrono::seconds(60)};
    bool followRedirects = false;
    // A reply body longer than this fails the request with HttpError::Kind::replyTooLarge; none:
    // no bound.
    std::optional<std::size_t> maxBodySize = maxReplyBodySize;
};

struct HttpResponse {
    int status = 0;
    HttpHeaders headers;  // names as the server wrote them
    std::string body;

    // The first header of that name, compared without regard to case.
    std::optional<std::string> header(std::string_view name) const;
};

class HttpError : public std::runtime_error {
public:
    enum class Kind : std::uint8_t {
        invalidRequest,   // malformed or unsupported URL, a header with a line break, ...
        cannotConnect,    // refused, unreachable, name not resolved
        timedOut,
        cancelled,
        shutDown,         // the client was destroyed with the request still pending
        connectionLost,   // the peer closed or reset the connection before a complete reply
        transport,        // any other failure (TLS, protocol, ...)
        replyTooLarge,    // the body went past the request's maxBodySize
    };
    HttpError(Kind kind, const std::string& text) : std::runtime_error(text), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

using HttpResult = std::variant<HttpResponse, HttpError>;

class HttpClient {
public:
    // Runs on the client's worker thread; must not block for long and must not destroy the client.
    using Completion = std::function<void(HttpResult)>;
    using RequestId = std::uint64_t;

    HttpClient();
    // Completes every request still pending with HttpError::Kind::shutDown, then joins the worker.
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Whether libcurl accepts `url` as an absolute http or https URL.
    static bool isValidUrl(const std::string& url);

    // Starts a request; safe from any thread.
    RequestId start(HttpRequest request, Completion completion);
    // Completes the request with HttpError::Kind::cancelled unless it has completed already.
    void cancel(RequestId id);

    // Completes on the executor associated with the handler; signature
    // void(std::exception_ptr, HttpResponse) where the exception is an HttpError. A cancellation
    // emitted on the handler's slot cancels the transfer. The worker thread posts the completion
    // to that executor, so its execution context must outlive the client, which joins the worker.
    template <class Token>
    auto asyncPerform(HttpRequest request, Token&& token);

    // For coroutines: the reply, or an HttpError thrown. Cancelling the awaiting coroutine cancels
    // the transfer.
    boost::asio::awaitable<HttpResponse> perform(HttpRequest request);

private:
    struct Worker;
    // Cancels `id` while the worker exists; harmless once the client is gone.
    std::function<void()> canceller(RequestId id) const;
    std::shared_ptr<Worker> worker_;
};

template <class Token>
auto HttpClient::asyncPerform(HttpRequest request, Token&& token) {
    namespace asio = boost::asio;
    return asio::async_initiate<Token, void(std::exception_ptr, HttpResponse)>(
        [this](auto handler, HttpRequest request) {
            using Handler = decltype(handler);
            auto slot = asio::get_associated_cancellation_slot(handler);
            auto work = asio::make_work_guard(asio::get_associated_executor(handler));
            struct Pending {
                Handler handler;
                decltype(work) guard;
                decltype(slot) cancellation;
            };
            auto pending = std::make_shared<Pending>(Pending{std::move(handler), std::move(work), slot});
            RequestId id = start(std::move(request), [pending](HttpResult result) {
                auto executor = pending->guard.get_executor();
                asio::post(executor, [pending, result = std::move(result)]() mutable {
                    if (pending->cancellation.is_connected()) pending->cancellation.clear();
                    pending->guard.reset();
                    if (auto* response = std::get_if<HttpResponse>(&result)) {
                        std::move(pending->handler)(nullptr, std::move(*response));
                    } else {
                        std::move(pending->handler)(std::make_exception_ptr(std::get<HttpError>(result)),
                                                    HttpResponse{});
                    }
                });
            });
            if (slot.is_connected()) {
                slot.assign([cancel = canceller(id)](asio::cancellation_type) { cancel(); });
            }
        },
        token, std::move(request));
}

}  // namespace platform
