#pragma once
// Server events as the realtime service sends them, for scripting the loopback realtime server.

#include "support/json.hpp"
#include <string>

namespace support {

// An event of `type` with `fields` and an event id unique within the test process.
Json serverEvent(const std::string& type, Json fields = Json::object());

// The session the service reports for a call, with or without whisper-1 transcription switched on.
Json realtimeSession(bool transcribing);

}  // namespace support
