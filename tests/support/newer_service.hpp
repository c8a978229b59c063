#pragma once
// What a realtime service newer than this client sends: the same events, with a text in a closed
// set the client does not know (the voice "marin"), members the client does not know, and events
// of a type the client does not know. The loopback realtime server sends its scripted texts this
// way when asked to (RealtimeServer::actAsNewerService).

#include <string>
#include <vector>

namespace support {

inline constexpr const char* kNewerVoice = "marin";
inline constexpr const char* kNewerEventType = "session.limits_changed";
inline constexpr const char* kNewerTopLevelMember = "service_tier";

// The texts sent in place of `text`: an event object gains a top-level member; a
// "session.created" or "session.updated" has its session's voice set to "marin" and is followed by
// an event of the unknown type. A text that is not an event object goes out unchanged.
std::vector<std::string> asNewerService(const std::string& text);

}  // namespace support
