#include "app/network_service.hpp"

#include <chrono>
#include <cmath>

#include "app/backend_config.hpp"
#include "platform/http/http_client.hpp"

namespace kestro {

namespace {

std::string errorText(NetworkService::NetworkError::Kind kind, int status) {
    using Kind = NetworkService::NetworkError::Kind;
    switch (kind) {
        case Kind::httpError: return "HTTP error: " + std::to_string(status);
        case Kind::invalidURL: return "Invalid URL";
        case Kind::missingCredential: return "No backend credential is stored";
        case Kind::invalidResponse: return "Invalid response from server";
    }
    return "Invalid response from server";
}

}  // namespace

std::string_view methodText(HTTPMethod method) {
    switch (method) {
        case HTTPMethod::get: return "GET";
        case HTTPMethod::post: return "POST";
        case HTTPMethod::put: return "PUT";
        case HTTPMethod::delete_: return "DELETE";
    }
    return "GET";
}

NetworkService::NetworkError::NetworkError(Kind kind, int status)
    : std::runtime_error(errorText(kind, status)), kind_(kind), status_(status) {}

NetworkService::NetworkService(platform::HttpClient& http, const platform::UserDefaults& defaults, std::string baseURL)
    : http_(&http), defaults_(&defaults), baseURL_(std::move(baseURL)) {}

std::optional<std::string> NetworkService::credential() const { return storedCredential(*defaults_); }

boost::asio::awaitable<BackendReply> NetworkService::request(BackendRequest request,
                                                             std::optional<std::string> body) const {
    platform::HttpRequest outgoing;
    outgoing.url = baseURL_ + request.endpoint;
    if (!platform::HttpClient::isValidUrl(outgoing.url)) throw NetworkError::invalidURL();
    outgoing.method = std::string(methodText(request.method));
    double seconds = std::isfinite(request.timeout) && request.timeout > 0 ? request.timeout : 60;
    outgoing.timeout = std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000));
    if (request.requiresAuth) {
        auto credential = this->credential();
        if (!credential) throw NetworkError::missingCredential();
        outgoing.headers.emplace_back("Authorization", "Bearer " + *credential);
    }
    if (request.idempotencyKey) outgoing.headers.emplace_back("Idempotency-Key", *request.idempotencyKey);
    if (body) {
        outgoing.body = std::move(body);
        outgoing.headers.emplace_back("Content-Type", "application/json");
    }
    platform::HttpResponse response;
    try {
        response = co_await http_->perform(std::move(outgoing));
    } catch (const platform::HttpError& error) {
        // A reply past the bound is not one the backend means to send.
        if (error.kind() == platform::HttpError::Kind::replyTooLarge) throw NetworkError::invalidResponse();
        throw;
    }
    if (response.status <= 0) throw NetworkError::invalidResponse();
    if (response.status >= 400) throw NetworkError::httpError(response.status);
    co_return BackendReply{std::move(response.body), response.status};
}

}  // namespace kestro
