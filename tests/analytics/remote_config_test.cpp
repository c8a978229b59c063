#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <chrono>
#include <deque>
#include <future>
#include <thread>

#include "analytics/flags/plover_remote_config.hpp"
#include "analytics/storage/plover_storage_manager.hpp"
#include "analytics_fixtures.hpp"
#include "support/ingestion_server.hpp"

namespace {

using namespace std::chrono_literals;
using analytics_test::LogCapture;
using analytics_test::makeConfig;
using analytics_test::StorageFolders;
using plover::PloverApi;
using plover::PloverRemoteConfig;
using plover::PloverStorage;
using plover::Properties;
using Key = plover::PloverStorage::StorageKey;
namespace json = boost::json;

json::object object(std::string_view text) { return json::parse(text).as_object(); }

// Holds every request until the test answers it, in any order.
class ScriptedRequests : public plover::PloverRemoteConfigRequests {
public:
    struct FlagsRequest {
        std::string distinctId;
        std::optional<std::string> anonymousId;
        PloverApi::Groups groups;
        Properties personProperties;
        std::optional<PloverApi::GroupProperties> groupProperties;
    };

    void flags(const std::string& distinctId, const std::optional<std::string>& anonymousId,
               const PloverApi::Groups& groups, const Properties& personProperties,
               const std::optional<PloverApi::GroupProperties>& groupProperties,
               PloverApi::ResponseCompletion completion) override {
        std::lock_guard lock(mutex_);
        sent.push_back({distinctId, anonymousId, groups, personProperties, groupProperties});
        pendingFlags_.push_back(std::move(completion));
    }
    void remoteConfig(PloverApi::ResponseCompletion completion) override {
        std::lock_guard lock(mutex_);
        ++remoteConfigRequests;
        pendingConfig_.push_back(std::move(completion));
    }
    std::size_t pendingFlags() {
        std::lock_guard lock(mutex_);
        return pendingFlags_.size();
    }
    // Answers the flag request sent `index`-th among those still pending.
    void answerFlags(std::size_t index, std::optional<json::object> body) {
        PloverApi::ResponseCompletion completion;
        {
            std::lock_guard lock(mutex_);
            completion = std::move(pendingFlags_.at(index));
            pendingFlags_.erase(pendingFlags_.begin() + static_cast<std::ptrdiff_t>(index));
        }
        completion(std::move(body), nullptr);
    }
    bool answerConfig(std::optional<json::object> body) {
        PloverApi::ResponseCompletion completion;
        {
            std::lock_guard lock(mutex_);
            if (pendingConfig_.empty()) return false;
            completion = std::move(pendingConfig_.front());
            pendingConfig_.pop_front();
        }
        completion(std::move(body), nullptr);
        return true;
    }

    std::vector<FlagsRequest> sent;
    int remoteConfigRequests = 0;

private:
    std::mutex mutex_;
    std::deque<PloverApi::ResponseCompletion> pendingFlags_;
    std::deque<PloverApi::ResponseCompletion> pendingConfig_;
};

struct RemoteConfigFixture : ::testing::Test {
    StorageFolders folders;
    std::shared_ptr<plover::PloverConfig> config = makeConfig();
    std::shared_ptr<PloverStorage> storage;
    std::shared_ptr<ScriptedRequests> requests = std::make_shared<ScriptedRequests>();
    boost::asio::thread_pool background{1};
    boost::asio::thread_pool main{1};
    platform::NotificationCenter center;
    std::atomic<int> notifications{0};
    platform::ObserverToken observer =
        center.addObserver(PloverRemoteConfig::didReceiveFeatureFlags, [this](const platform::Notification&) {
            ++notifications;
        });

    void SetUp() override {
        config->remoteConfig = false;
        config->preloadFeatureFlags = false;
        config->storageManager = std::make_shared<plover::PloverStorageManager>(*config, folders.environment());
        storage = std::make_shared<PloverStorage>(*config, folders.environment());
    }
    void TearDown() override {
        background.join();
        main.join();
    }

    std::shared_ptr<PloverRemoteConfig> make(std::function<Properties()> defaults = [] { return Properties{}; }) {
        return PloverRemoteConfig::create(config, storage, requests, std::move(defaults), background.get_executor(),
                                          main.get_executor(), center);
    }

    // Waits until everything posted to both executors so far has run.
    void settle() {
        for (int round = 0; round < 3; ++round) {
            for (auto* pool : {&background, &main}) {
                std::promise<void> done;
                boost::asio::post(*pool, [&done] { done.set_value(); });
                ASSERT_EQ(done.get_future().wait_for(20s), std::future_status::ready);
            }
        }
    }

    // Sends one flag request, answers it and gives what the callback received.
    std::optional<json::object> reload(PloverRemoteConfig& remote, std::optional<json::object> body) {
        std::promise<std::optional<json::object>> result;
        remote.reloadFeatureFlags([&result](std::optional<json::object> flags) { result.set_value(std::move(flags)); });
        requests->answerFlags(requests->pendingFlags() - 1, std::move(body));
        auto future = result.get_future();
        if (future.wait_for(20s) != std::future_status::ready) throw std::runtime_error("no callback");
        auto flags = future.get();
        settle();
        return flags;
    }
};

TEST_F(RemoteConfigFixture, AnswersAreNormalisedIntoEnabledFlagsAndPayloads) {
    struct Case {
        const char* name;
        const char* record;
        std::optional<json::value> enabled;
        std::optional<json::value> payload;
    };
    const Case cases[] = {
        {"enabled true keeps payload", R"({"enabled":true,"metadata":{"payload":"{\"a\":1}"}})", json::value(true),
         json::value("{\"a\":1}")},
        {"enabled false drops payload", R"({"enabled":false,"metadata":{"payload":"p"}})", json::value(false),
         std::nullopt},
        {"variant wins over enabled", R"({"variant":"blue","enabled":false,"metadata":{"payload":7}})",
         json::value("blue"), json::value(7)},
        {"null variant falls through", R"({"variant":null,"enabled":true})", json::value(true), std::nullopt},
        {"neither variant nor enabled", R"({"enabled":"yes","metadata":{"payload":1}})", std::nullopt, std::nullopt},
        {"record not an object", R"("on")", std::nullopt, std::nullopt},
    };
    auto remote = make();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto body = object(std::string(R"({"flags":{"f":)") + c.record +
                           R"(},"featureFlags":{"old":true},"featureFlagPayloads":{"old":1}})");
        auto flags = reload(*remote, body);
        ASSERT_TRUE(flags);
        EXPECT_FALSE(flags->contains("old"));
        auto enabled = remote->getCachedFeatureFlags();
        auto payloads = remote->getCachedFeatureFlagPayload();
        ASSERT_TRUE(enabled && payloads);
        EXPECT_EQ(enabled->if_contains("f") ? std::optional(*enabled->if_contains("f")) : std::nullopt, c.enabled);
        EXPECT_EQ(payloads->if_contains("f") ? std::optional(*payloads->if_contains("f")) : std::nullopt, c.payload);
        EXPECT_EQ(remote->getCachedFlags(), body.at("flags").as_object());
    }
}

TEST_F(RemoteConfigFixture, ErrorsWhileComputingMergeOverTheCacheOtherwiseReplace) {
    struct Case {
        const char* errors;
        const char* expected;
    };
    const Case cases[] = {
        {R"(,"errorsWhileComputingFlags":true)", R"({"a":true,"b":false})"},
        {R"(,"errorsWhileComputingFlags":false)", R"({"b":false})"},
        {"", R"({"b":false})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.errors);
        auto remote = make();
        reload(*remote, object(R"({"featureFlags":{"a":true,"b":true},"featureFlagPayloads":{"a":"1"}})"));
        auto flags = reload(*remote, object(std::string(R"({"featureFlags":{"b":false},"featureFlagPayloads":{})") +
                                            c.errors + "}"));
        EXPECT_EQ(flags, object(c.expected));
        EXPECT_EQ(remote->getCachedFeatureFlags(), object(c.expected));
        // What was stored is what a new store reads back.
        EXPECT_EQ(make()->getCachedFeatureFlags(), object(c.expected));
    }
}

TEST_F(RemoteConfigFixture, LegacyAnswerKeepsTheStoredDetailedFlagsAndRequestId) {
    auto remote = make();
    reload(*remote, object(R"({"flags":{"x":{"enabled":true}},"requestId":"r1"})"));
    reload(*remote, object(R"({"featureFlags":{"y":"v"},"featureFlagPayloads":{"y":"2"}})"));
    EXPECT_EQ(remote->getCachedFlags(), object(R"({"x":{"enabled":true}})"));
    EXPECT_EQ(remote->getCachedFeatureFlags(), object(R"({"y":"v"})"));
    EXPECT_EQ(remote->requestId(), "r1");
    EXPECT_EQ(storage->getString(Key::requestId), "r1");
}

TEST_F(RemoteConfigFixture, QuotaLimitClearsEverythingOnlyWhenFlagsAreLimited) {
    LogCapture log;
    auto remote = make();
    reload(*remote, object(R"({"featureFlags":{"a":true},"featureFlagPayloads":{"a":"1"},"requestId":"r"})"));
    auto flags = reload(*remote, object(R"({"quotaLimited":["recordings"],"featureFlags":{"b":true},
                                            "featureFlagPayloads":{}})"));
    EXPECT_EQ(flags, object(R"({"b":true})"));
    EXPECT_EQ(notifications.load(), 2);

    flags = reload(*remote, object(R"({"quotaLimited":["feature_flags"],"featureFlags":{"c":true},
                                       "featureFlagPayloads":{}})"));
    EXPECT_EQ(flags, json::object());
    EXPECT_EQ(remote->getCachedFeatureFlags(), json::object());
    EXPECT_EQ(remote->getCachedFeatureFlagPayload(), json::object());
    EXPECT_EQ(remote->getCachedFlags(), json::object());
    EXPECT_EQ(remote->requestId(), std::nullopt);
    EXPECT_FALSE(storage->getData(Key::requestId));
    EXPECT_EQ(notifications.load(), 3);
    bool warned = false;
    for (const auto& line : log.lines()) {
        warned |= line.starts_with(
            "[Plover] Warning: Feature flags quota limit reached - clearing all feature flags and payloads.");
    }
    EXPECT_TRUE(warned);
}

TEST_F(RemoteConfigFixture, EveryRequestEndsWithExactlyOneNotificationAndFailuresKeepTheFlags) {
    LogCapture log;
    auto remote = make();
    reload(*remote, object(R"({"featureFlags":{"a":true},"featureFlagPayloads":{}})"));
    EXPECT_EQ(reload(*remote, std::nullopt), std::nullopt);
    EXPECT_EQ(reload(*remote, object(R"({"featureFlags":{"a":false}})")), std::nullopt);
    EXPECT_EQ(reload(*remote, object(R"({"featureFlags":[],"featureFlagPayloads":{}})")), std::nullopt);
    EXPECT_EQ(remote->getCachedFeatureFlags(), object(R"({"a":true})"));
    EXPECT_EQ(notifications.load(), 4);
    auto lines = log.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "[Plover] Error: Flags response data is nil"), lines.end());
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "[Plover] Error: Flags response missing correct featureFlags format"),
              2);

    // Without a storage manager nothing is sent and nothing is announced.
    config->storageManager.reset();
    std::optional<std::optional<json::object>> result;
    remote->reloadFeatureFlags([&result](std::optional<json::object> flags) { result = std::move(flags); });
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, std::nullopt);
    settle();
    EXPECT_EQ(requests->sent.size(), 4u);
    EXPECT_EQ(notifications.load(), 4);
}

TEST_F(RemoteConfigFixture, AnAnswerOlderThanTheNewestAppliedOneIsIgnored) {
    auto remote = make();
    std::promise<std::optional<json::object>> older;
    std::promise<std::optional<json::object>> newer;
    remote->reloadFeatureFlags([&older](std::optional<json::object> flags) { older.set_value(std::move(flags)); });
    remote->reloadFeatureFlags([&newer](std::optional<json::object> flags) { newer.set_value(std::move(flags)); });
    ASSERT_EQ(requests->pendingFlags(), 2u);
    requests->answerFlags(1, object(R"({"featureFlags":{"a":"new"},"featureFlagPayloads":{},"requestId":"r2"})"));
    EXPECT_EQ(newer.get_future().get(), object(R"({"a":"new"})"));
    requests->answerFlags(0, object(R"({"featureFlags":{"a":"old","b":true},"featureFlagPayloads":{"b":"1"},
                                        "requestId":"r1"})"));
    EXPECT_EQ(older.get_future().get(), object(R"({"a":"new"})"));
    settle();
    EXPECT_EQ(remote->getCachedFeatureFlags(), object(R"({"a":"new"})"));
    EXPECT_EQ(remote->getCachedFeatureFlagPayload(), json::object());
    EXPECT_EQ(remote->requestId(), "r2");
    EXPECT_EQ(notifications.load(), 2);

    // A newer request answered after an older failure still applies.
    remote->reloadFeatureFlags();
    requests->answerFlags(0, object(R"({"featureFlags":{"a":"newest"},"featureFlagPayloads":{}})"));
    settle();
    EXPECT_EQ(remote->getCachedFeatureFlags(), object(R"({"a":"newest"})"));
}

TEST_F(RemoteConfigFixture, RemoteConfigurationDecidesWhetherFlagsAreLoaded) {
    struct Case {
        const char* name;
        std::optional<std::string> answer;
        bool preload;
        std::size_t flagRequests;
        int notifications;
        bool cleared;
    };
    const Case cases[] = {
        {"hasFeatureFlags false", R"({"hasFeatureFlags":false})", true, 0, 1, true},
        {"hasFeatureFlags true", R"({"hasFeatureFlags":true})", true, 1, 1, false},
        {"hasFeatureFlags absent", R"({"other":1})", true, 1, 1, false},
        {"hasFeatureFlags not a bool", R"({"hasFeatureFlags":"false"})", true, 1, 1, false},
        {"no preload", R"({"hasFeatureFlags":true})", false, 0, 0, false},
        {"missing configuration", std::nullopt, true, 0, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        StorageFolders caseFolders;
        config = makeConfig();
        config->storageManager = std::make_shared<plover::PloverStorageManager>(*config, caseFolders.environment());
        config->preloadFeatureFlags = c.preload;
        storage = std::make_shared<PloverStorage>(*config, caseFolders.environment());
        storage->setJson(Key::enabledFeatureFlags, plover::Value(json::value(object(R"({"kept":true})"))));
        requests = std::make_shared<ScriptedRequests>();
        notifications = 0;
        auto remote = make();
        settle();
        ASSERT_EQ(requests->remoteConfigRequests, 1);
        ASSERT_TRUE(requests->answerConfig(c.answer ? std::optional(object(*c.answer)) : std::nullopt));
        settle();
        EXPECT_EQ(requests->sent.size(), c.flagRequests);
        while (requests->pendingFlags() > 0) {
            requests->answerFlags(0, object(R"({"featureFlags":{"kept":true},"featureFlagPayloads":{}})"));
        }
        settle();
        EXPECT_EQ(notifications.load(), c.notifications);
        EXPECT_EQ(remote->getCachedFeatureFlags(), c.cleared ? json::object() : object(R"({"kept":true})"));
        EXPECT_EQ(remote->getRemoteConfig(), c.answer ? std::optional(object(*c.answer)) : std::nullopt);
        // Fetched once per process: a second load with a held configuration sends nothing.
        remote->loadRemoteConfig();
        settle();
        EXPECT_EQ(requests->remoteConfigRequests, c.answer ? 1 : 2);
        // A request in flight keeps the store alive until it is answered.
        while (requests->answerConfig(std::nullopt)) settle();
        while (requests->pendingFlags() > 0) requests->answerFlags(0, std::nullopt);
        settle();
    }
}

TEST_F(RemoteConfigFixture, FlagRequestCarriesIdsGroupsAndMergedPersonProperties) {
    storage->setJson(Key::groups, plover::Value(json::value(object(R"({"company":"acme"})"))));
    storage->setJson(Key::personPropertiesForFlags, plover::Value(json::value(object(R"({"plan":"pro","os":"mine"})"))));
    auto remote = make([] { return Properties{{"os", "Linux"}, {"app", "kestro"}}; });
    remote->reloadFeatureFlags();
    ASSERT_EQ(requests->sent.size(), 1u);
    auto sent = requests->sent.back();
    EXPECT_EQ(sent.distinctId, config->storageManager->getDistinctId());
    EXPECT_EQ(sent.anonymousId, config->storageManager->getAnonymousId());
    EXPECT_EQ(sent.groups, (PloverApi::Groups{{"company", "acme"}}));
    EXPECT_EQ(sent.personProperties, (Properties{{"os", "mine"}, {"app", "kestro"}, {"plan", "pro"}}));
    EXPECT_EQ(sent.groupProperties, std::nullopt);

    config->reuseAnonymousId = true;
    config->setDefaultPersonProperties = false;
    remote->setGroupPropertiesForFlags("company", {{"size", 10}});
    remote->setGroupPropertiesForFlags("company", {{"size", 20}, {"tier", "gold"}});
    remote->reloadFeatureFlags();
    sent = requests->sent.back();
    EXPECT_EQ(sent.anonymousId, std::nullopt);
    EXPECT_EQ(sent.personProperties, (Properties{{"os", "mine"}, {"plan", "pro"}}));
    EXPECT_EQ(sent.groupProperties, (PloverApi::GroupProperties{{"company", {{"size", 20}, {"tier", "gold"}}}}));

    // Person and group properties persist until reset.
    EXPECT_EQ(make()->groupPropertiesForFlags(), remote->groupPropertiesForFlags());
    remote->resetGroupPropertiesForFlags();
    remote->resetPersonPropertiesForFlags();
    auto reread = make();
    EXPECT_TRUE(reread->groupPropertiesForFlags().empty());
    EXPECT_TRUE(reread->personPropertiesForFlags().empty());
    while (requests->pendingFlags() > 0) requests->answerFlags(0, std::nullopt);
    settle();
}

TEST_F(RemoteConfigFixture, PayloadTextsAreParsedAndStoredReplayEndpointApplies) {
    storage->setJson(Key::enabledFeatureFlagPayloads,
                     plover::Value(json::value(object(R"({"obj":"{\"k\":[1]}","num":"42","bad":"not json","raw":{"x":1}})"))));
    storage->setJson(Key::sessionReplay, plover::Value(json::value(object(R"({"endpoint":"/replay/"})"))));
    LogCapture log;
    auto remote = make();
    EXPECT_EQ(config->snapshotEndpoint(), "/replay/");
    EXPECT_EQ(remote->getFeatureFlagPayload("obj"), json::parse(R"({"k":[1]})"));
    EXPECT_EQ(remote->getFeatureFlagPayload("num"), json::value(42));
    EXPECT_EQ(remote->getFeatureFlagPayload("bad"), json::value("not json"));
    EXPECT_EQ(remote->getFeatureFlagPayload("raw"), json::parse(R"({"x":1})"));
    EXPECT_EQ(remote->getFeatureFlagPayload("absent"), std::nullopt);
    ASSERT_FALSE(log.lines().empty());
    EXPECT_TRUE(log.lines().back().starts_with("[Plover] Error parsing the object Optional(\"not json\"): "));

    storage->setJson(Key::sessionReplay, plover::Value(json::value(object(R"({"endpoint":3})"))));
    config->setSnapshotEndpoint("/s/");
    make();
    EXPECT_EQ(config->snapshotEndpoint(), "/s/");
}

TEST(RemoteConfigOverHttp, LoopbackFlagsAnswerIsAppliedAndAnnouncedOnTheMainExecutor) {
    support::IngestionServer server;
    StorageFolders folders;
    auto config = makeConfig("test-key", server.host());
    config->remoteConfig = false;
    config->preloadFeatureFlags = true;
    config->storageManager = std::make_shared<plover::PloverStorageManager>(*config, folders.environment());
    auto storage = std::make_shared<PloverStorage>(*config, folders.environment());
    server.setReply("/flags", support::ScriptedReply::json(
                                  200, R"({"flags":{"f":{"variant":"v","metadata":{"payload":"1"}}},"requestId":"q"})"));
    boost::asio::thread_pool background{1};
    boost::asio::thread_pool main{1};
    platform::NotificationCenter center;
    std::promise<std::thread::id> announced;
    auto token = center.addObserver(PloverRemoteConfig::didReceiveFeatureFlags, [&announced](const platform::Notification&) {
        announced.set_value(std::this_thread::get_id());
    });
    std::thread::id mainThread;
    boost::asio::post(main, [&mainThread] { mainThread = std::this_thread::get_id(); });
    auto api = std::make_shared<PloverApi>(config, std::make_shared<platform::HttpClient>());
    auto remote = PloverRemoteConfig::create(config, storage, std::make_shared<plover::PloverApiRemoteConfigRequests>(api),
                                             [] { return Properties{}; }, background.get_executor(),
                                             main.get_executor(), center);
    auto future = announced.get_future();
    ASSERT_EQ(future.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(future.get(), mainThread);
    EXPECT_EQ(remote->getCachedFeatureFlags(), object(R"({"f":"v"})"));
    EXPECT_EQ(remote->getFeatureFlagPayload("f"), json::value(1));
    EXPECT_EQ(remote->requestId(), "q");
    background.join();
    main.join();
}

}  // namespace
