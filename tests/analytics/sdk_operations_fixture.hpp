#pragma once
// A set-up SDK instance for the tests of its event and flag operations: private folders, a
// network monitor that always reports a usable network, flag requests the test answers by hand, no
// integrations, and queues that keep every event on disk (no timer, no threshold reached) so that
// a test reads exactly what was queued.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "analytics/queue/plover_file_backed_queue.hpp"
#include "analytics/sdk/plover_sdk.hpp"
#include "analytics_fixtures.hpp"
#include "fake_flag_source.hpp"
#include "sdk_environment.hpp"
#include "support/test_runtime.hpp"

namespace analytics_test {

// Flag requests that wait until the test answers them.
class HeldFlagRequests : public plover::PloverRemoteConfigRequests {
public:
    void flags(const std::string&, const std::optional<std::string>&, const plover::PloverApi::Groups&,
               const plover::Properties&, const std::optional<plover::PloverApi::GroupProperties>&,
               plover::PloverApi::ResponseCompletion completion) override {
        std::lock_guard lock(mutex_);
        ++sent_;
        pending_.push_back(std::move(completion));
    }
    void remoteConfig(plover::PloverApi::ResponseCompletion) override {}

    int sent() {
        std::lock_guard lock(mutex_);
        return sent_;
    }
    // Answers every request still waiting with `body` (nothing: no usable answer).
    void answerAll(const std::optional<plover::json::object>& body) {
        std::vector<plover::PloverApi::ResponseCompletion> pending;
        {
            std::lock_guard lock(mutex_);
            pending.swap(pending_);
        }
        for (auto& completion : pending) completion(body, nullptr);
    }

private:
    std::mutex mutex_;
    int sent_ = 0;
    std::vector<plover::PloverApi::ResponseCompletion> pending_;
};

struct SdkOperationsFixture : ::testing::Test {
    StorageFolders folders;
    // Outlives the runtime, whose main thread posts "PloverDidStart" to it after setup.
    platform::NotificationCenter center;
    support::TestRuntime runtime;
    std::shared_ptr<platform::HttpClient> http = std::make_shared<platform::HttpClient>();
    std::shared_ptr<HeldFlagRequests> requests = std::make_shared<HeldFlagRequests>();
    std::shared_ptr<plover::PloverSDK> sdk;

    ~SdkOperationsFixture() override {
        if (sdk) sdk->close();
        // Flag requests still held would answer into a store that is gone; nothing waits on them.
        requests->answerAll(std::nullopt);
    }

    plover::PloverSDKEnvironment environment() {
        auto environment = analytics_test::offlineSdkEnvironment(runtime, http, folders, center, requests);
        environment.makeIntegrations = [](const plover::PloverConfig&) {
            return plover::PloverIntegrations{};
        };
        return environment;
    }

    std::shared_ptr<plover::PloverConfig> config(std::string apiKey = "ops-key") {
        // Nothing listens there: an upload that starts by mistake fails and keeps its events.
        auto config = makeConfig(std::move(apiKey), "http://127.0.0.1:9");
        config->remoteConfig = false;
        config->preloadFeatureFlags = false;
        config->disableQueueTimerForTesting = true;
        config->disableReachabilityForTesting = true;
        config->flushAt = 10000;
        config->maxQueueSize = 10000;
        return config;
    }

    // Storage of the key as the instance will see it, for what a test places before setup.
    plover::PloverStorage storageOf(const std::string& apiKey = "ops-key") {
        return plover::PloverStorage(*config(apiKey), folders.environment());
    }

    plover::PloverSDK& setUp(std::shared_ptr<plover::PloverConfig> settings) {
        sdk = plover::PloverSDK::with(std::move(settings), environment());
        return *sdk;
    }
    plover::PloverSDK& setUp() { return setUp(config()); }

    // The events in a queue folder, oldest first, as stored.
    static std::vector<plover::json::object> eventsIn(const std::optional<std::filesystem::path>& folder) {
        std::vector<std::pair<double, plover::json::object>> found;
        if (!folder || !std::filesystem::exists(*folder)) return {};
        for (auto& entry : std::filesystem::directory_iterator(*folder)) {
            auto value = plover::queueFileValue(entry.path().filename().string());
            if (!value) continue;
            std::ifstream file(entry.path(), std::ios::binary);
            std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            found.emplace_back(*value, plover::json::parse(text).as_object());
        }
        std::sort(found.begin(), found.end(), [](auto& a, auto& b) { return a.first < b.first; });
        std::vector<plover::json::object> events;
        for (auto& [name, event] : found) events.push_back(std::move(event));
        return events;
    }
    std::vector<plover::json::object> queued() {
        return eventsIn(storageOf().url(plover::PloverStorage::StorageKey::queue));
    }
    std::vector<plover::json::object> replayed() {
        return eventsIn(storageOf().url(plover::PloverStorage::StorageKey::replayQeueue));
    }
    // The names of the queued events, in order.
    std::vector<std::string> queuedNames() {
        std::vector<std::string> names;
        for (auto& event : queued()) names.emplace_back(event.at("event").as_string());
        return names;
    }
    static const plover::json::object& propertiesOf(const plover::json::object& event) {
        return event.at("properties").as_object();
    }
    static std::vector<std::string> linesWith(const LogCapture& log, std::string_view word) {
        std::vector<std::string> found;
        for (auto& line : log.lines()) {
            if (line.find(word) != std::string::npos) found.push_back(line);
        }
        return found;
    }
};

}  // namespace analytics_test
