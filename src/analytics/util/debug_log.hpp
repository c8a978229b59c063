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
// Writes `message` the same way whether debug logging is on or not: for what the application must
// hear of (a configuration that cannot work, events that could not be kept).
void ploverWarn(std::string_view message);

}  // namespace plover
