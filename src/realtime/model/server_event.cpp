#include "realtime/model/server_event.hpp"

namespace realtime {

const std::string& ServerEvent::id() const {
    return std::visit([](const auto& payload) -> const std::string& { return payload.eventId; }, payload_);
}

}  // namespace realtime
