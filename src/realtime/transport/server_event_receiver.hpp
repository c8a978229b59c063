#pragma once
// The one decoding step of every transport: each message a connection receives, WebSocket text
// message or data-channel message, goes through a receiver of its own connection.

#include <cstddef>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "realtime/model/server_event.hpp"

namespace realtime {

class ServerEventReceiver {
public:
    // Distinct unknown texts reported per connection; one line says when later ones go unreported.
    static constexpr std::size_t kMaxReportedTexts = 32;

    // The event the message holds, or none when it was skipped because it names an event type or
    // a kind of item or content this client does not know. Each skipped text prints one line, once
    // per connection, with at most a short prefix of the text. Any other failure throws the
    // decoding error. Safe to call from several threads.
    std::optional<ServerEvent> receive(std::string_view message);

private:
    void report(std::string line);

    std::mutex mutex_;
    std::set<std::string> reported_;
    bool full_ = false;
};

}  // namespace realtime
