#pragma once
// The one request operation through which every backend exchange goes.

#include <boost/asio/awaitable.hpp>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace platform {
class HttpClient;
class UserDefaults;
}  // namespace platform

namespace kestro {

enum class HTTPMethod : std::uint8_t { get, post, put, delete_ };

std::string_view methodText(HTTPMethod method);

struct BackendRequest {
    std::string endpoint;  // relative to the base URL, no leading "/"
    HTTPMethod method = HTTPMethod::get;
    double timeout = 30;   // seconds
    bool requiresAuth = true;
    // Sent as the "Idempotency-Key" header: the same for every attempt at one change, so that a
    // backend can tell a retry from a new request.
    std::optional<std::string> idempotencyKey;
};

struct BackendReply {
    std::string body;
    int status = 0;
};

class NetworkService {
public:
    class NetworkError : public std::runtime_error {
    public:
        enum class Kind : std::uint8_t { httpError, invalidURL, missingCredential, invalidResponse };
        static NetworkError httpError(int status) { return NetworkError(Kind::httpError, status); }
        static NetworkError invalidURL() { return NetworkError(Kind::invalidURL); }
        static NetworkError missingCredential() { return NetworkError(Kind::missingCredential); }
        static NetworkError invalidResponse() { return NetworkError(Kind::invalidResponse); }
        Kind kind() const { return kind_; }
        int status() const { return status_; }

    private:
        explicit NetworkError(Kind kind, int status = 0);
        Kind kind_;
        int status_;
    };

    // Both must outlive the service and every request made through it.
    NetworkService(platform::HttpClient& http, const platform::UserDefaults& defaults, std::string baseURL);

    // Sends the request and returns the reply when its status is below 400. Throws NetworkError
    // (invalidURL and missingCredential before anything is sent, httpError for a status of 400 or
    // more) or platform::HttpError for a transport failure. Cancelling the awaiting coroutine
    // cancels the transfer.
    boost::asio::awaitable<BackendReply> request(BackendRequest request,
                                                 std::optional<std::string> body = std::nullopt) const;

    // The stored bearer credential (see storedCredential()).
    std::optional<std::string> credential() const;
    const std::string& baseURL() const { return baseURL_; }

private:
    platform::HttpClient* http_;
    const platform::UserDefaults* defaults_;
    std::string baseURL_;
};

}  // namespace kestro
