#pragma once
// A prepared WebSocket request: the URL to open, the headers of the opening handshake, the time
// limit of that handshake, and how long the open connection may stay silent.

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace realtime {

struct ConnectionRequest {
    std::string url;  // ws:// or wss://
    std::vector<std::pair<std::string, std::string>> headers;
    std::chrono::seconds timeout{60};
    // An open connection that hears nothing from the service (no message, no pong) for this long
    // counts as lost; after pingAfter of silence a ping asks the service for a sign of life.
    std::chrono::milliseconds silenceLimit{10000};
    std::chrono::milliseconds pingAfter{2500};
};

}  // namespace realtime
