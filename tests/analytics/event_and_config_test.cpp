#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "analytics/config/plover_config.hpp"
#include "analytics/event/plover_event.hpp"
#include "analytics/util/time_based_epoch_generator.hpp"
#include "analytics_fixtures.hpp"

namespace {

using namespace std::chrono_literals;
using plover::PloverConfig;
using plover::PloverEvent;
using plover::Properties;
using plover::Uuid;
using plover::Value;
namespace json = boost::json;

PloverEvent sampleEvent(std::optional<std::string> apiKey = std::nullopt) {
    return PloverEvent("Clicked", "person-1", Properties{{"button", "ok"}, {"count", 2}, {"nested", json::parse(R"({"a":[1,null]})")}},
                       plover::Date(1709622489123ms), *Uuid::parse("0190A1B2-C3D4-7E5F-8A6B-7C8D9E0F1A2B"),
                       std::move(apiKey));
}

std::vector<std::string> keysOf(const json::object& object) {
    std::vector<std::string> keys;
    for (auto& entry : object) keys.emplace_back(entry.key());
    std::sort(keys.begin(), keys.end());
    return keys;
}

bool isNowToTheMillisecond(plover::Date date, plover::Date before, plover::Date after) {
    return date >= std::chrono::floor<std::chrono::milliseconds>(before) && date <= after;
}

TEST(PloverEvent, JsonFormHasFiveKeysOrSixWithTheProjectKey) {
    auto object = sampleEvent().toJSON();
    EXPECT_EQ(keysOf(object), (std::vector<std::string>{"distinct_id", "event", "properties", "timestamp", "uuid"}));
    EXPECT_EQ(object.at("event"), "Clicked");
    EXPECT_EQ(object.at("distinct_id"), "person-1");
    EXPECT_EQ(object.at("properties"), json::parse(R"({"button":"ok","count":2,"nested":{"a":[1,null]}})"));
    EXPECT_EQ(object.at("timestamp"), "2024-03-05T07:08:09.123Z");
    EXPECT_EQ(object.at("uuid"), "0190A1B2-C3D4-7E5F-8A6B-7C8D9E0F1A2B");

    auto withKey = sampleEvent("project").toJSON();
    EXPECT_EQ(withKey.size(), 6u);
    EXPECT_EQ(withKey.at("api_key"), "project");

    // Properties without a JSON form cannot make a JSON event.
    auto unwritable = sampleEvent();
    unwritable.properties["when"] = plover::Date(0ms);
    EXPECT_THROW(unwritable.toJSON(), plover::JsonWriteError);
}

TEST(PloverEvent, JsonRoundTripKeepsEveryField) {
    for (auto& event : {sampleEvent(), sampleEvent("project")}) {
        auto back = PloverEvent::fromJSON(json::parse(json::serialize(event.toJSON())).as_object());
        ASSERT_TRUE(back);
        EXPECT_EQ(back->event, event.event);
        EXPECT_EQ(back->distinctId, event.distinctId);
        EXPECT_EQ(back->properties, event.properties);
        EXPECT_EQ(back->timestamp, event.timestamp);
        EXPECT_EQ(back->uuid(), event.uuid());
        EXPECT_EQ(back->apiKey(), event.apiKey());
    }
}

TEST(PloverEvent, ReadingStoredFormsFillsOrRefusesAsStored) {
    struct Case {
        const char* name;
        const char* json;
        bool read;
    };
    const Case refused[] = {
        {"no name", R"({"distinct_id":"p"})", false},
        {"numeric name", R"({"event":3,"distinct_id":"p"})", false},
        {"no distinct id", R"({"event":"e","properties":{"a":1}})", false},
        {"numeric distinct id", R"({"event":"e","distinct_id":5,"properties":{"distinct_id":6}})", false},
    };
    for (auto& c : refused) EXPECT_FALSE(PloverEvent::fromJSON(json::parse(c.json).as_object())) << c.name;

    auto before = std::chrono::system_clock::now();
    auto minimal = PloverEvent::fromJSON(json::parse(R"({"event":"e","distinct_id":"p"})").as_object());
    auto after = std::chrono::system_clock::now();
    ASSERT_TRUE(minimal);
    EXPECT_TRUE(minimal->properties.empty());
    EXPECT_TRUE(isNowToTheMillisecond(minimal->timestamp, before, after));
    EXPECT_EQ(minimal->timestamp, std::chrono::floor<std::chrono::milliseconds>(minimal->timestamp));
    EXPECT_EQ(minimal->uuid().bytes[6] >> 4, 7);
    EXPECT_FALSE(minimal->apiKey());

    auto fromProperties = PloverEvent::fromJSON(
        json::parse(R"({"event":"e","properties":{"distinct_id":"inner"},"timestamp":"2024-03-05T07:08:09Z"})").as_object());
    ASSERT_TRUE(fromProperties);
    EXPECT_EQ(fromProperties->distinctId, "inner");
    EXPECT_EQ(fromProperties->timestamp, plover::Date(1709622489000ms));

    auto messageId = PloverEvent::fromJSON(
        json::parse(R"({"event":"e","distinct_id":"p","uuid":7,"message_id":"0190a1b2-c3d4-7e5f-8a6b-7c8d9e0f1a2b"})").as_object());
    ASSERT_TRUE(messageId);
    EXPECT_EQ(messageId->uuid().toString(), "0190A1B2-C3D4-7E5F-8A6B-7C8D9E0F1A2B");

    for (const char* odd : {R"({"event":"e","distinct_id":"p","uuid":"not-a-uuid","timestamp":"2024-03-05T07:08:09+00:00"})",
                            R"({"event":"e","distinct_id":"p","timestamp":1709622489,"api_key":false,"properties":[1]})"}) {
        before = std::chrono::system_clock::now();
        auto event = PloverEvent::fromJSON(json::parse(odd).as_object());
        after = std::chrono::system_clock::now();
        ASSERT_TRUE(event) << odd;
        EXPECT_EQ(event->uuid().bytes[6] >> 4, 7) << odd;
        EXPECT_TRUE(isNowToTheMillisecond(event->timestamp, before, after)) << odd;
        EXPECT_FALSE(event->apiKey());
        EXPECT_TRUE(event->properties.empty());
    }

    auto olderSet = PloverEvent::fromJSON(
        json::parse(R"({"event":"$identify","distinct_id":"p","$set":{"email":"a@b"},
                        "properties":{"$set":{"email":"old"},"x":1},"api_key":"k"})").as_object());
    ASSERT_TRUE(olderSet);
    EXPECT_EQ(olderSet->properties, (Properties{{"$set", json::parse(R"({"email":"a@b"})")}, {"x", 1}}));
    EXPECT_EQ(olderSet->apiKey(), "k");
}

TEST(PloverEvent, OnlyTheClientsOwnNamesHaveAnIndex) {
    const std::pair<const char*, int> cases[] = {
        {"$snapshot", 0}, {"$screen", 1}, {"$set", 2}, {"survey dismissed", 3}, {"survey sent", 4},
        {"survey shown", 5}, {"$identify", 6}, {"$groupidentify", 7}, {"$create_alias", 8},
        {"$feature_flag_called", 9}, {"", 10}, {"Application Opened", 10}, {"$Identify", 10}, {"$identify ", 10},
    };
    for (auto& [name, index] : cases) EXPECT_EQ(plover::sdkEventIndex(name), index) << name;
}

TEST(PloverConfig, FreshConfigurationHasEveryDefault) {
    PloverConfig config("key");
    EXPECT_EQ(config.apiKey(), "key");
    EXPECT_EQ(config.host().absoluteString(), PloverConfig::defaultHost);
    EXPECT_EQ(config.flushAt, 20);
    EXPECT_EQ(config.maxQueueSize, 1000);
    EXPECT_EQ(config.maxBatchSize, 50);
    static_assert(std::is_same_v<decltype(config.flushIntervalSeconds), double>);
    EXPECT_EQ(config.flushIntervalSeconds, 30.0);
    EXPECT_EQ(static_cast<int>(config.dataMode), 2);
    EXPECT_TRUE(config.sendFeatureFlagEvent);
    EXPECT_TRUE(config.preloadFeatureFlags);
    EXPECT_TRUE(config.remoteConfig);
    EXPECT_TRUE(config.captureApplicationLifecycleEvents);
    EXPECT_TRUE(config.captureScreenViews);
    EXPECT_FALSE(config.debug);
    EXPECT_FALSE(config.optOut);
    EXPECT_FALSE(config.reuseAnonymousId);
    EXPECT_FALSE(config.propertiesSanitizer);
    EXPECT_EQ(static_cast<int>(config.personProfiles), 2);
    EXPECT_TRUE(config.setDefaultPersonProperties);
    EXPECT_FALSE(config.appGroupIdentifier);
    EXPECT_EQ(config.snapshotEndpoint(), "/s/");
    EXPECT_FALSE(config.surveys);
    EXPECT_FALSE(config.disableReachabilityForTesting);
    EXPECT_FALSE(config.disableQueueTimerForTesting);
    EXPECT_FALSE(config.storageManager);
    Uuid id = plover::TimeBasedEpochGenerator::v7();
    EXPECT_EQ(config.getAnonymousId(id), id);
    EXPECT_TRUE(plover::Url::parse(PloverConfig::defaultHost));
    EXPECT_NE(PloverConfig::defaultHost.back(), '/');
}

TEST(PloverConfig, AHostIsNeverReplacedByTheDefaultAndOneNoRequestCanBeMadeToIsReported) {
    const std::pair<const char*, const char*> usable[] = {
        {"https://ingest.example.org", "https://ingest.example.org"},
        {"http://127.0.0.1:8000/base/?q=1", "http://127.0.0.1:8000/base/?q=1"},
        {"HTTPS://us.i.plover.example/", "HTTPS://us.i.plover.example/"},  // kept as written
    };
    for (auto& [given, host] : usable) {
        PloverConfig config("", given);
        EXPECT_EQ(config.host().absoluteString(), host) << given;
        EXPECT_FALSE(config.hostProblem()) << given;
    }
    // None of these may send the events and the project's key to the default cloud host.
    for (const char* given : {"analytics.example.com", "not a url", "", "/relative/path", " https://ingest.example.org",
                              "https://bad%zzescape", "localhost:8000", "mailto:someone@example.com",
                              "http:/no-authority", "file:///tmp/x"}) {
        PloverConfig config("", given);
        EXPECT_NE(config.host().absoluteString(), PloverConfig::defaultHost) << given;
        ASSERT_TRUE(config.hostProblem()) << given;
        EXPECT_NE(config.hostProblem()->find(std::string("\"") + given + "\""), std::string::npos)
            << *config.hostProblem();
    }
    EXPECT_EQ(PloverConfig("", "analytics.example.com").hostProblem(),
              "The host \"analytics.example.com\" is not a URL; write it with its scheme, such as "
              "https://analytics.example.com");
    EXPECT_EQ(PloverConfig("").host().absoluteString(), PloverConfig::defaultHost);
}

TEST(PloverConfig, RawValuesOutsideTheCasesGiveNothing) {
    EXPECT_EQ(PloverConfig::dataModeFromRawValue(0), PloverConfig::PloverDataMode::wifi);
    EXPECT_EQ(PloverConfig::dataModeFromRawValue(1), PloverConfig::PloverDataMode::cellular);
    EXPECT_EQ(PloverConfig::dataModeFromRawValue(2), PloverConfig::PloverDataMode::any);
    EXPECT_FALSE(PloverConfig::dataModeFromRawValue(3));
    EXPECT_FALSE(PloverConfig::dataModeFromRawValue(-1));
    EXPECT_EQ(plover::personProfilesFromRawValue(0), plover::PloverPersonProfiles::never);
    EXPECT_EQ(plover::personProfilesFromRawValue(1), plover::PloverPersonProfiles::always);
    EXPECT_EQ(plover::personProfilesFromRawValue(2), plover::PloverPersonProfiles::identifiedOnly);
    EXPECT_FALSE(plover::personProfilesFromRawValue(-1));
    EXPECT_FALSE(plover::personProfilesFromRawValue(3));
}

TEST(PloverConfig, BeforeSendChainRunsInOrderAndStopsAtTheFirstDrop) {
    PloverConfig config("key");
    EXPECT_EQ(config.beforeSend(sampleEvent())->event, "Clicked");

    std::vector<std::string> calls;
    auto add = [&](std::string name) {
        return [&calls, name](PloverEvent event) -> std::optional<PloverEvent> {
            calls.push_back(name);
            event.properties[name] = static_cast<int>(calls.size());
            return event;
        };
    };
    auto drop = [&](PloverEvent) -> std::optional<PloverEvent> {
        calls.push_back("drop");
        return std::nullopt;
    };

    config.setBeforeSend(add("A"), add("B"));
    auto both = config.beforeSend(sampleEvent());
    ASSERT_TRUE(both);
    EXPECT_EQ(both->properties.at("A"), Value(1));
    EXPECT_EQ(both->properties.at("B"), Value(2));

    calls.clear();
    config.setBeforeSend(std::vector<PloverConfig::BeforeSend>{drop, add("B")});
    EXPECT_FALSE(config.beforeSend(sampleEvent()));
    EXPECT_EQ(calls, std::vector<std::string>{"drop"});

    calls.clear();
    config.setBeforeSend(std::vector<PloverConfig::BeforeSend>{});
    EXPECT_EQ(config.beforeSend(sampleEvent())->properties, sampleEvent().properties);
    EXPECT_TRUE(calls.empty());

    config.setBeforeSend([](PloverEvent event) -> std::optional<PloverEvent> {
        event.event = "Renamed";
        event.distinctId = "someone";
        return event;
    });
    auto renamed = config.beforeSend(sampleEvent());
    EXPECT_EQ(renamed->event, "Renamed");
    EXPECT_EQ(renamed->distinctId, "someone");
}

// An application may replace the chain while events are being captured on the SDK's threads: each
// event goes through one whole chain, the old or the new, never a mix of the two.
TEST(PloverConfig, ReplacingTheChainWhileEventsRunThroughItRunsEachThroughOneWholeChain) {
    PloverConfig config("key");
    auto mark = [](std::string chain, std::string step) {
        return [chain, step](PloverEvent event) -> std::optional<PloverEvent> {
            event.properties[step] = chain;
            return event;
        };
    };
    std::atomic<bool> stop{false};
    std::thread replacer([&] {
        for (int round = 0; !stop.load(); ++round) {
            std::string chain = round % 2 ? "odd" : "even";
            config.setBeforeSend(mark(chain, "first"), mark(chain, "second"));
        }
    });
    for (int i = 0; i < 2000; ++i) {
        auto event = config.beforeSend(sampleEvent());
        ASSERT_TRUE(event);
        if (!event->properties.contains("first")) continue;  // before the first chain was set
        ASSERT_EQ(event->properties.at("first"), event->properties.at("second"));
    }
    stop = true;
    replacer.join();
}

}  // namespace
