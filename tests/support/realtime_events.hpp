#pragma once
// Server events as the realtime service sends them, for scripting the loopback realtime server.

#include <nlohmann/json.hpp>
#include <string>

namespace support {

// An event of `type` with `fields` and an event id unique within the test process.
nlohmann::json serverEvent(const std::string& type, nlohmann::json fields = nlohmann::json::object());

// The session the service reports for a call, with or without whisper-1 transcription switched on.
nlohmann::json realtimeSession(bool transcribing);

}  // namespace support
