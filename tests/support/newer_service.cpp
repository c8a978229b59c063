#include "support/newer_service.hpp"

#include <atomic>

#include "support/json.hpp"

namespace support {

std::vector<std::string> asNewerService(const std::string& text) {
    auto event = Json::parse(text, nullptr, false);
    if (!event.is_object() || !event.contains("type")) return {text};
    event[kNewerTopLevelMember] = Json{{"tier", "default"}, {"priority", 1}};
    const bool announcesSession = event["type"] == "session.created" || event["type"] == "session.updated";
    if (!announcesSession) return {event.dump()};
    if (event["session"].is_object()) event["session"]["voice"] = kNewerVoice;
    static std::atomic<int> next{0};
    const Json unknown = {{"type", kNewerEventType},
                          {"event_id", "event_newer_" + std::to_string(++next)},
                          {"limits", {{"max_session_minutes", 30}}}};
    return {event.dump(), unknown.dump()};
}

}  // namespace support
