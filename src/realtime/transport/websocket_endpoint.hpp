#pragma once
// What a WebSocket request names before anything is opened: the endpoint of its ws:// or wss://
// URL, and headers that can go into a handshake unchanged.

#include <stdexcept>
#include <string>

#include "realtime/transport/connection_request.hpp"

namespace realtime::detail {

class InvalidURLError : public std::invalid_argument {
public:
    explicit InvalidURLError(const std::string& url)
        : std::invalid_argument("Not a ws:// or wss:// URL: " + url) {}
};

class InvalidHeaderError : public std::invalid_argument {
public:
    explicit InvalidHeaderError(const std::string& name)
        : std::invalid_argument("The request header " + name + " contains a line break or NUL character") {}
};

struct Endpoint {
    bool tls = false;
    std::string host;       // without brackets
    std::string port;
    std::string authority;  // the Host header: host[:port] as written
    std::string target;     // path and query
};

// Throws InvalidURLError for anything but a ws:// or wss:// URL with a host and a valid port.
Endpoint parseEndpoint(const std::string& url);

bool isIpAddress(const std::string& host);

// A name or value with CR, LF or NUL would end its header line early and start lines of its own:
// throws InvalidHeaderError for the first such header.
void checkHeaders(const ConnectionRequest& request);

}  // namespace realtime::detail
