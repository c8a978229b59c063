#pragma once
// The analytics client set up the way an application sets it up, against the loopback ingestion
// service: real HTTP uploads, real queue folders in a private data home, the real flag store, the
// real integrations. What the service received is read back as JSON.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analytics/analytics_fixtures.hpp"
#include "analytics/sdk_environment.hpp"
#include "analytics/sdk/plover_sdk.hpp"
#include "analytics/util/json.hpp"
#include "platform/http/http_client.hpp"
#include "platform/notifications/notification_center.hpp"
#include "support/backend_environment.hpp"
#include "support/ingestion_server.hpp"
#include "support/test_runtime.hpp"

namespace analytics_e2e {

namespace json = boost::json;
using namespace std::chrono_literals;
using plover::PloverConfig;
using plover::PloverSDK;
using plover::Properties;

inline constexpr std::string_view notSetUpLine =
    "[Plover] Plover method was called without `setup` being complete. Call wil be ignored.";
inline constexpr std::string_view optOutLine = "[Plover] Plover is in OptOut state.";

// The flags the service evaluates for everyone, in the newer answer format: "beta" is on with a
// reason and full metadata, "plan" is a variant whose reason has no description and whose
// metadata has no version, "legacy" is off and gives no reason.
inline constexpr std::string_view flagsAnswer = R"({
  "flags": {
    "beta": {"key": "beta", "enabled": true, "variant": null,
             "reason": {"code": "condition_match", "description": "Matched condition set 1"},
             "metadata": {"id": 7, "version": 3, "payload": "{\"limit\": 5}"}},
    "plan": {"key": "plan", "enabled": true, "variant": "gold", "reason": {"code": "variant_match"},
             "metadata": {"id": 8}},
    "legacy": {"key": "legacy", "enabled": false, "metadata": {"id": 9, "version": 1}}
  },
  "requestId": "req-e2e-1",
  "errorsWhileComputingFlags": false
})";

// The user defaults the lifecycle integration keeps its versions in belong to the process, so
// they live in one private folder for the whole test program.
inline void usePrivateConfigHome() {
    static support::TemporaryFolder folder;
    static bool done = [] {
        ::setenv("XDG_CONFIG_HOME", (folder.path() / "config").c_str(), 1);
        return true;
    }();
    (void)done;
}

// What an application would write, with every event uploaded at once. Network monitoring and
// the flush timer stay out of the way: the service is on loopback and the tests flush. Flags are
// asked for by the tests, so that no load started by setup races what a test does.
inline std::shared_ptr<PloverConfig> testConfig(const std::string& apiKey, const std::string& host) {
    auto config = std::make_shared<PloverConfig>(apiKey, host);
    config->flushAt = 1;
    config->debug = true;
    config->remoteConfig = false;
    config->preloadFeatureFlags = false;
    config->captureScreenViews = false;
    config->captureApplicationLifecycleEvents = false;
    config->disableReachabilityForTesting = true;
    config->disableQueueTimerForTesting = true;
    return config;
}

struct EndToEnd : ::testing::Test {
    analytics_test::StorageFolders folders;
    support::IngestionServer server;
    // Outlives the runtime, which may still hold notices to post on it.
    platform::NotificationCenter center;
    support::TestRuntime runtime;
    std::shared_ptr<platform::HttpClient> http = std::make_shared<platform::HttpClient>();
    analytics_test::LogCapture log;
    std::string apiKey = "e2e-key";

    EndToEnd() {
        usePrivateConfigHome();
        server.setReply("/batch", support::ScriptedReply::json(200, R"({"status": 1})"));
        server.setReply("/s/", support::ScriptedReply::json(200, R"({"status": 1})"));
        server.setReply("/flags", support::ScriptedReply::json(200, std::string(flagsAnswer)));
        server.setReply("/array/" + apiKey + "/config", support::ScriptedReply::json(200, "{}"));
    }

    ~EndToEnd() override { analytics_test::expectHttpClientReleased(http); }

    plover::PloverSDKEnvironment environment() {
        return analytics_test::sdkEnvironment(runtime, http, folders, center);
    }

    std::shared_ptr<PloverConfig> config(const std::string& key = {}) {
        return testConfig(key.empty() ? apiKey : key, server.host());
    }

    std::shared_ptr<PloverSDK> setUp(std::shared_ptr<PloverConfig> settings) {
        return PloverSDK::with(std::move(settings), environment());
    }
    std::shared_ptr<PloverSDK> setUp() { return setUp(config()); }

    // Asks for the flags and waits for the answer to be handled.
    static void loadFlags(PloverSDK& sdk) {
        auto done = std::make_shared<std::atomic<bool>>(false);
        sdk.reloadFeatureFlags([done] { done->store(true); });
        ASSERT_TRUE(support::eventually([&] { return done->load(); })) << "no flag answer";
    }

    // The gunzipped bodies of every upload to `path`, in the order they arrived.
    std::vector<json::value> uploads(std::string_view path = "/batch") const {
        std::vector<json::value> bodies;
        for (auto& request : server.decodedRequests()) {
            if (request.path == path) bodies.push_back(json::parse(request.body));
        }
        return bodies;
    }
    // Every event uploaded in a batch, in order.
    std::vector<json::object> events() const {
        std::vector<json::object> all;
        for (auto& body : uploads()) {
            for (auto& event : body.at("batch").as_array()) all.push_back(event.as_object());
        }
        return all;
    }
    std::vector<json::object> eventsNamed(std::string_view name) const {
        auto all = events();
        std::vector<json::object> named;
        std::copy_if(all.begin(), all.end(), std::back_inserter(named),
                     [&](const json::object& event) { return event.at("event").as_string() == name; });
        return named;
    }
    // Flushes until an event of that name has been uploaded and returns the first one.
    json::object waitForEvent(PloverSDK& sdk, std::string_view name) const {
        bool arrived = support::eventually([&] {
            if (!eventsNamed(name).empty()) return true;
            sdk.flush();
            return false;
        });
        if (!arrived) {
            ADD_FAILURE() << "no event " << name << " was uploaded";
            return {};
        }
        return eventsNamed(name).front();
    }
    // The queue keeps its order, so once a sentinel captured last has arrived, everything
    // captured before it has arrived too.
    void drain(PloverSDK& sdk) const {
        static std::atomic<int> counter{0};
        auto name = "sentinel " + std::to_string(++counter);
        sdk.capture(name);
        waitForEvent(sdk, name);
    }

    std::vector<json::value> flagRequestBodies() const {
        std::vector<json::value> bodies;
        for (auto& request : server.requests()) {
            if (request.path.rfind("/flags", 0) == 0) bodies.push_back(json::parse(request.body));
        }
        return bodies;
    }

    std::size_t logged(std::string_view line) const {
        auto lines = log.lines();
        return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
    }
    std::vector<std::string> linesWith(std::string_view word) const {
        std::vector<std::string> found;
        for (auto& line : log.lines()) {
            if (line.find(word) != std::string::npos) found.push_back(line);
        }
        return found;
    }

    plover::PloverStorage storage(const std::string& key = {}) {
        return plover::PloverStorage(*config(key), folders.environment());
    }
};

// A JSON string's text.
inline std::string text(const json::value& value) { return std::string(value.as_string()); }

}  // namespace analytics_e2e
