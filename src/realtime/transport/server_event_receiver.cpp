#include "realtime/transport/server_event_receiver.hpp"

#include <utility>

#include "platform/runtime/print.hpp"
#include "realtime/model/codec.hpp"

namespace realtime {

std::optional<ServerEvent> ServerEventReceiver::receive(std::string_view message) {
    auto received = decodeReceivedServerEvent(message);
    if (!received.event) report(std::move(received.skipped));
    return std::move(received.event);
}

void ServerEventReceiver::report(std::string line) {
    {
        std::lock_guard lock(mutex_);
        if (reported_.contains(line) || full_) return;
        if (reported_.size() == kMaxReportedTexts) {
            // A service sending ever new texts must not grow this set, nor the output, without end.
            full_ = true;
            line = "More unknown texts were received; they are not reported.";
        } else {
            reported_.insert(line);
        }
    }
    platform::print(line);
}

}  // namespace realtime
