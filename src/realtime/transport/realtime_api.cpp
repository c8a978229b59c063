#include "realtime/transport/realtime_api.hpp"

#include <cstdlib>
#include <stdexcept>

#include "realtime/transport/websocket_connector.hpp"

namespace realtime {

namespace {

constexpr const char* defaultEndpoint = "wss://api.openai.com/v1/realtime";
constexpr const char* realtimePath = "/v1/realtime";

// Percent-encodes everything but the unreserved characters, so the value survives any query
// parser unchanged ("+" and "&" included).
std::string percentEncodeQueryValue(const std::string& value) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : value) {
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            encoded.push_back(static_cast<char>(c));
        } else {
            encoded.push_back('%');
            encoded.push_back(hex[c >> 4]);
            encoded.push_back(hex[c & 0x0F]);
        }
    }
    return encoded;
}

}  // namespace

std::string realtimeEndpoint() {
    const char* override = std::getenv("KESTRO_REALTIME_URL");
    if (!override || !*override) return defaultEndpoint;
    std::string url(override);
    const auto schemeEnd = url.find("://");
    const auto pathStart = schemeEnd == std::string::npos ? std::string::npos : url.find_first_of("/?", schemeEnd + 3);
    if (pathStart == std::string::npos) return url + realtimePath;
    if (url.compare(pathStart, std::string::npos, "/") == 0) return url.substr(0, pathStart) + realtimePath;
    return url;
}

RealtimeAPI::RealtimeAPI(std::shared_ptr<Connector> connector) : connector_(std::move(connector)) {
    if (!connector_) throw std::invalid_argument("RealtimeAPI needs a connector");
}

ConnectionRequest RealtimeAPI::webSocketRequest(const std::string& authToken, const std::string& model) {
    if (authToken.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) throw InvalidCredentialError();
    auto url = realtimeEndpoint();
    url += url.find('?') == std::string::npos ? '?' : '&';
    url += "model=" + percentEncodeQueryValue(model);
    ConnectionRequest request;
    request.url = std::move(url);
    request.headers = {{"OpenAI-Beta", "realtime=v1"}, {"Authorization", "Bearer " + authToken}};
    request.timeout = std::chrono::seconds(60);
    return request;
}

std::shared_ptr<RealtimeAPI> RealtimeAPI::webSocket(asio::any_io_executor sharedExecutor, const std::string& authToken,
                                                    const std::string& model) {
    return std::make_shared<RealtimeAPI>(
        std::make_shared<WebSocketConnector>(std::move(sharedExecutor), webSocketRequest(authToken, model)));
}

}  // namespace realtime
