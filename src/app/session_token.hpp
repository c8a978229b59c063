#pragma once
// The "session" exchange: the per-call realtime credential, with the user's usage counts.

#include <boost/asio/awaitable.hpp>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "app/network_service.hpp"

namespace kestro {

class UsageManager;

class TokenError : public std::runtime_error {
public:
    enum class Kind : std::uint8_t { networkError, missingCredential, invalidResponse };
    // "Network error: " followed by `message`.
    static TokenError networkError(const std::string& message);
    static TokenError missingCredential();
    static TokenError invalidResponse();
    Kind kind() const { return kind_; }

private:
    TokenError(Kind kind, const std::string& text) : std::runtime_error(text), kind_(kind) {}
    Kind kind_;
};

// Asks the backend for a realtime credential and returns it trimmed. When the reply also carries
// the usage counts they are written into `usage` (if given): used first, then total. Throws
// TokenError: missingCredential when no credential is stored (nothing is sent), networkError for
// every later failure, carrying that failure's text ("Invalid token response" for a reply that
// holds no usable credential). Run it on the executor that owns `usage`.
boost::asio::awaitable<std::string> fetchSessionToken(const NetworkService& network, UsageManager* usage);

}  // namespace kestro
