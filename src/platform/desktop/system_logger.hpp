#pragma once
// Messages for the system log (syslog by default), each tagged with a reverse-DNS subsystem and a
// category. The sink is replaceable so that tests can read what would have been logged.

#include <functional>
#include <string>
#include <string_view>

namespace platform {

enum class LogLevel { debug, info, error, fault };

struct LogRecord {
    std::string subsystem;
    std::string category;
    LogLevel level = LogLevel::info;
    std::string message;
};

using LogSink = std::function<void(const LogRecord& record)>;

// Replaces the sink and returns the previous one; an empty sink restores the system log.
LogSink setLogSink(LogSink sink);

// Installs a sink for the lifetime of the guard and restores the previous one afterwards.
class ScopedLogSink {
public:
    explicit ScopedLogSink(LogSink sink) : previous_(setLogSink(std::move(sink))) {}
    ~ScopedLogSink() { setLogSink(std::move(previous_)); }
    ScopedLogSink(const ScopedLogSink&) = delete;
    ScopedLogSink& operator=(const ScopedLogSink&) = delete;

private:
    LogSink previous_;
};

// A log handle; cheap to copy, safe to use from any thread.
class Logger {
public:
    Logger(std::string subsystem, std::string category)
        : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

    void log(LogLevel level, std::string_view message) const;
    void error(std::string_view message) const { log(LogLevel::error, message); }
    void info(std::string_view message) const { log(LogLevel::info, message); }

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

private:
    std::string subsystem_;
    std::string category_;
};

}  // namespace platform
