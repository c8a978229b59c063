#include "platform/desktop/system_logger.hpp"

#include <syslog.h>

#include <mutex>
#include <utility>

namespace platform {
namespace {

std::mutex sinkMutex;
LogSink currentSink;

int syslogPriority(LogLevel level) {
    switch (level) {
        case LogLevel::debug: return LOG_DEBUG;
        case LogLevel::info: return LOG_INFO;
        case LogLevel::error: return LOG_ERR;
        case LogLevel::fault: return LOG_CRIT;
    }
    return LOG_NOTICE;
}

void writeToSyslog(const LogRecord& record) {
    // The identity stays the program name (openlog is never called); subsystem and category lead
    // the message so that journalctl can filter on them.
    syslog(LOG_USER | syslogPriority(record.level), "[%s:%s] %s", record.subsystem.c_str(),
           record.category.c_str(), record.message.c_str());
}

}  // namespace

LogSink setLogSink(LogSink sink) {
    std::lock_guard lock(sinkMutex);
    return std::exchange(currentSink, std::move(sink));
}

void Logger::log(LogLevel level, std::string_view message) const {
    LogRecord record{subsystem_, category_, level, std::string(message)};
    LogSink sink;
    {
        std::lock_guard lock(sinkMutex);
        sink = currentSink;
    }
    if (sink) {
        sink(record);
    } else {
        writeToSyslog(record);
    }
}

}  // namespace platform
