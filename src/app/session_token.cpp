#include "app/session_token.hpp"

#include <optional>

#include "app/backend_config.hpp"
#include "app/usage_manager.hpp"
#include "platform/json/json.hpp"

namespace kestro {

TokenError TokenError::networkError(const std::string& message) {
    return TokenError(Kind::networkError, "Network error: " + message);
}
TokenError TokenError::missingCredential() {
    return TokenError(Kind::missingCredential, "No backend credential is stored");
}
TokenError TokenError::invalidResponse() { return TokenError(Kind::invalidResponse, "Invalid token response"); }

namespace {

struct SessionReply {
    std::string clientSecret;
    std::int64_t used;
    std::int64_t total;
};

std::optional<std::int64_t> integerOf(const platform::json::Object& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end()) return std::nullopt;
    const auto& value = found->value();
    if (value.is_int64()) return value.get_int64();
    if (value.is_uint64() && value.get_uint64() <= static_cast<std::uint64_t>(INT64_MAX)) {
        return static_cast<std::int64_t>(value.get_uint64());
    }
    return std::nullopt;
}

std::optional<SessionReply> parseSessionReply(const std::string& body) {
    auto parsed = platform::json::read(body);
    if (!parsed || !parsed->is_object()) return std::nullopt;
    const auto& reply = parsed->get_object();
    auto secret = reply.find("client_secret");
    auto used = integerOf(reply, "used");
    auto total = integerOf(reply, "total");
    if (secret == reply.end() || !secret->value().is_string() || !used || !total) return std::nullopt;
    return SessionReply{std::string(secret->value().get_string()), *used, *total};
}

// A credential travels in a header: empty or with a control character inside, it is unusable.
std::string usableCredential(const std::string& candidate) {
    if (candidate.empty() || containsControlCharacter(candidate)) throw TokenError::invalidResponse();
    return candidate;
}

}  // namespace

boost::asio::awaitable<std::string> fetchSessionToken(const NetworkService& network, UsageManager* usage) {
    if (!network.credential()) throw TokenError::missingCredential();
    try {
        // Named rather than temporary: g++ 12 mishandles braced temporaries inside co_await.
        BackendRequest request{"session", HTTPMethod::get, 30, true, std::nullopt};
        BackendReply reply = co_await network.request(std::move(request));
        if (reply.status != 200) throw TokenError::invalidResponse();
        if (auto session = parseSessionReply(reply.body)) {
            if (usage) {
                usage->usedCalls = session->used;
                usage->totalCalls = session->total;
            }
            co_return usableCredential(trimWhitespace(session->clientSecret));
        }
        if (!isValidUTF8(reply.body)) throw TokenError::invalidResponse();
        co_return usableCredential(trimWhitespace(reply.body));
    } catch (const std::exception& error) {
        throw TokenError::networkError(error.what());
    }
}

}  // namespace kestro
