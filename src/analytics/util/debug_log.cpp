#include "analytics/util/debug_log.hpp"

#include <atomic>
#include <string>

#include "platform/runtime/print.hpp"

namespace plover {

namespace {
std::atomic<bool> debugEnabled{false};
constexpr std::string_view prefix = "[Plover] ";
}  // namespace

void setDebugLogging(bool enabled) { debugEnabled.store(enabled); }

bool isDebugLogging() { return debugEnabled.load(); }

void ploverLog(std::string_view message) {
    if (!isDebugLogging()) return;
    ploverWarn(message);
}

void ploverWarn(std::string_view message) {
    if (message.substr(0, prefix.size()) == prefix) {
        platform::print(message);
        return;
    }
    std::string line(prefix);
    line += message;
    platform::print(line);
}

}  // namespace plover
