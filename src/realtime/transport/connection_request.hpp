#pragma once
// A prepared WebSocket request: the URL to open, the headers of the opening handshake and the
// time limit of that handshake.

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace realtime {

struct ConnectionRequest {
    std::string url;  // ws:// or wss://
    std::vector<std::pair<std::string, std::string>> headers;
    std::chrono::seconds timeout{60};
};

}  // namespace realtime
