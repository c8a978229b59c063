#pragma once
// The analytics client's debug log: one line per message to standard output (through the
// replaceable print sink), prefixed "[Plover] ", written only while debug logging is on.

#include <string_view>

namespace plover {

void setDebugLogging(bool enabled);
bool isDebugLogging();

// Writes `message` when debug logging is on; a message that already begins with "[Plover] " is
// written unchanged.
void ploverLog(std::string_view message);

}  // namespace plover
