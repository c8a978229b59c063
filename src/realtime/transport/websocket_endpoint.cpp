#include "realtime/transport/websocket_endpoint.hpp"

#include <boost/asio/ip/address.hpp>

#include <string_view>

namespace realtime::detail {

Endpoint parseEndpoint(const std::string& url) {
    Endpoint endpoint;
    std::string_view rest(url);
    if (rest.starts_with("wss://")) {
        endpoint.tls = true;
        rest.remove_prefix(6);
    } else if (rest.starts_with("ws://")) {
        rest.remove_prefix(5);
    } else {
        throw InvalidURLError(url);
    }
    const auto targetStart = rest.find_first_of("/?");
    endpoint.authority = std::string(rest.substr(0, targetStart));
    endpoint.target = targetStart == std::string_view::npos ? "/" : std::string(rest.substr(targetStart));
    if (endpoint.target.front() == '?') endpoint.target.insert(0, "/");

    std::string_view authority(endpoint.authority);
    if (authority.empty() || authority.find('@') != std::string_view::npos) throw InvalidURLError(url);
    std::string_view port;
    if (authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) throw InvalidURLError(url);
        endpoint.host = std::string(authority.substr(1, close - 1));
        auto after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') throw InvalidURLError(url);
            port = after.substr(1);
        }
    } else {
        const auto colon = authority.find(':');
        endpoint.host = std::string(authority.substr(0, colon));
        if (colon != std::string_view::npos) port = authority.substr(colon + 1);
    }
    if (endpoint.host.empty()) throw InvalidURLError(url);
    if (port.empty()) {
        endpoint.port = endpoint.tls ? "443" : "80";
    } else {
        if (port.find_first_not_of("0123456789") != std::string_view::npos || port.size() > 5) {
            throw InvalidURLError(url);
        }
        endpoint.port = std::string(port);
    }
    return endpoint;
}

bool isIpAddress(const std::string& host) {
    boost::system::error_code ec;
    boost::asio::ip::make_address(host, ec);
    return !ec;
}

void checkHeaders(const ConnectionRequest& request) {
    constexpr std::string_view breaking("\r\n\0", 3);
    for (const auto& [name, value] : request.headers) {
        if (name.find_first_of(breaking) != std::string::npos || value.find_first_of(breaking) != std::string::npos) {
            throw InvalidHeaderError(name.substr(0, name.find_first_of(breaking)));
        }
    }
}

}  // namespace realtime::detail
