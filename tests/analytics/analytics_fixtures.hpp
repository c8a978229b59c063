#pragma once
// What the analytics tests share: the debug log as lines, a storage environment in a private
// folder, and configurations.

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "analytics/config/plover_config.hpp"
#include "analytics/storage/plover_storage.hpp"
#include "analytics/util/debug_log.hpp"
#include "platform/runtime/print.hpp"
#include "support/backend_environment.hpp"

namespace analytics_test {

// Switches debug logging on and collects the lines written while it lives.
class LogCapture {
public:
    LogCapture()
        : sink_([this](std::string_view line) {
              std::lock_guard lock(mutex_);
              lines_.emplace_back(line);
          }) {
        plover::setDebugLogging(true);
    }
    ~LogCapture() { plover::setDebugLogging(false); }

    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    platform::ScopedPrintSink sink_;
};

// A data home and an optional group container in a private folder.
struct StorageFolders {
    support::TemporaryFolder folder;
    std::map<std::string, std::filesystem::path> containers;  // group -> container folder

    std::filesystem::path dataHome() const { return folder.path() / "data"; }
    std::filesystem::path applicationFolder() const { return dataHome() / "org.example.app"; }
    std::filesystem::path addContainer(const std::string& group) {
        auto path = folder.path() / ("container-" + group);
        std::filesystem::create_directories(path);
        containers[group] = path;
        return path;
    }

    plover::PloverStorage::Environment environment() const {
        plover::PloverStorage::Environment environment;
        environment.applicationIdentifier = "org.example.app";
        environment.dataHome = dataHome();
        environment.groupContainer = [containers = containers](const std::string& group) {
            auto found = containers.find(group);
            return found == containers.end() ? std::nullopt : std::optional(found->second);
        };
        return environment;
    }
};

inline std::shared_ptr<plover::PloverConfig> makeConfig(std::string apiKey = "test-key",
                                                        std::string_view host = plover::PloverConfig::defaultHost) {
    return std::make_shared<plover::PloverConfig>(std::move(apiKey), host);
}

}  // namespace analytics_test
