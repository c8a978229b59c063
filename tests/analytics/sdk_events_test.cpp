#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <stdexcept>
#include <thread>

#include "analytics/util/dates.hpp"
#include "analytics/util/uuid.hpp"
#include "sdk_operations_fixture.hpp"

namespace {

using namespace std::chrono_literals;
using analytics_test::LogCapture;
using plover::PloverConfig;
using plover::PloverEvent;
using plover::Properties;
using plover::Value;
using Key = plover::PloverStorage::StorageKey;
namespace json = boost::json;

using SdkEvents = analytics_test::SdkOperationsFixture;
using Groups = plover::PloverSDK::Groups;

constexpr std::string_view notSetUp = plover::PloverSDK::notSetUpMessage;
constexpr std::string_view optedOut = plover::PloverSDK::optOutMessage;

std::string text(const json::value& value) { return std::string(value.as_string()); }

class AddingSanitizer : public plover::PloverPropertiesSanitizer {
public:
    Properties sanitize(Properties properties) override {
        properties.insert_or_assign("sanitized", Value(true));
        properties.erase("secret");
        return properties;
    }
};

TEST_F(SdkEvents, EveryEventOperationOfAnInstanceNotSetUpOnlyLogsTheSetupLine) {
    sdk = plover::PloverSDK::create(config(), environment());
    LogCapture log;
    sdk->capture("event");
    sdk->capture("event", Properties{{"a", 1}}, Properties{{"b", 2}}, std::nullopt, Groups{{"t", "k"}});
    sdk->identify("user", Properties{{"name", "x"}}, std::nullopt);
    sdk->alias("other");
    sdk->screen("Home");
    sdk->group("company", "acme", Properties{{"size", 3}});
    EXPECT_EQ(log.lines(), std::vector<std::string>(6, std::string(notSetUp)));
    EXPECT_TRUE(queued().empty());
}

TEST_F(SdkEvents, WhileOptedOutEveryEventOperationStopsAtTheOptOutGate) {
    auto settings = config();
    settings->optOut = true;
    setUp(settings);
    LogCapture log;
    sdk->capture("event");
    sdk->identify("user");
    sdk->alias("other");
    sdk->screen("Home");
    sdk->group("company", "acme");
    EXPECT_EQ(log.lines(), std::vector<std::string>(5, std::string(optedOut)));
    EXPECT_TRUE(queued().empty());
    EXPECT_EQ(sdk->getDistinctId(), sdk->getAnonymousId());
    EXPECT_FALSE(storageOf().getJson(Key::groups).has_value());
}

TEST_F(SdkEvents, ACaptureIsQueuedWithItsPersonTimeIdAndAssembledProperties) {
    setUp();
    const auto anonymous = sdk->getAnonymousId();
    const auto before = std::chrono::system_clock::now() - 1ms;
    sdk->capture("Clicked", Properties{{"button", "ok"}, {"when", Value(plover::Date{})}});
    const auto after = std::chrono::system_clock::now() + 1ms;
    const auto given = plover::Date{} + std::chrono::milliseconds(1709622489123);
    sdk->capture("Later", std::string("someone else"), std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                 given);
    sdk->capture("Nobody", std::string(""), std::nullopt, std::nullopt, std::nullopt, std::nullopt);

    auto events = queued();
    ASSERT_EQ(events.size(), 3u);
    auto& first = events[0];
    EXPECT_EQ(text(first.at("event")), "Clicked");
    EXPECT_EQ(text(first.at("distinct_id")), anonymous);
    auto stamp = plover::toISO8601Date(text(first.at("timestamp")));
    ASSERT_TRUE(stamp);
    EXPECT_GE(*stamp, std::chrono::floor<std::chrono::milliseconds>(before));
    EXPECT_LE(*stamp, after);
    auto id = plover::Uuid::parse(text(first.at("uuid")));
    ASSERT_TRUE(id);
    EXPECT_EQ(id->bytes[6] >> 4, 7);
    EXPECT_FALSE(first.contains("api_key"));
    auto& properties = propertiesOf(first);
    EXPECT_EQ(text(properties.at("button")), "ok");
    // A point in time has no JSON form of its own: the sanitiser writes its text.
    EXPECT_EQ(text(properties.at("when")), "1970-01-01T00:00:00Z");
    EXPECT_TRUE(properties.contains("$lib"));
    EXPECT_TRUE(properties.contains("$session_id"));
    EXPECT_TRUE(properties.contains("$process_person_profile"));

    EXPECT_EQ(text(events[1].at("distinct_id")), "someone else");
    EXPECT_EQ(text(events[1].at("timestamp")), "2024-03-05T07:08:09.123Z");
    // A given distinct id is used as it is, even an empty one.
    EXPECT_EQ(text(events[2].at("distinct_id")), "");
}

TEST_F(SdkEvents, PersonPropertiesOrGroupsSwitchPersonProcessingOnAndTheEventGoesOnEvenUnderNever) {
    struct Case {
        const char* name;
        plover::PloverPersonProfiles profiles;
        std::optional<Properties> userProperties;
        std::optional<Groups> groups;
        bool processingAfter;
        bool loggedNever;
    };
    const std::vector<Case> cases{
        {"no person data", plover::PloverPersonProfiles::identifiedOnly, std::nullopt, std::nullopt, false,
         false},
        {"empty person data", plover::PloverPersonProfiles::identifiedOnly, Properties{}, Groups{}, false,
         false},
        {"person properties", plover::PloverPersonProfiles::identifiedOnly, Properties{{"a", 1}},
         std::nullopt, true, false},
        {"groups", plover::PloverPersonProfiles::identifiedOnly, std::nullopt, Groups{{"t", "k"}}, true,
         false},
        {"never", plover::PloverPersonProfiles::never, Properties{{"a", 1}}, std::nullopt, false, true},
    };
    int index = 0;
    for (auto& each : cases) {
        SCOPED_TRACE(each.name);
        auto key = "profiles-" + std::to_string(index++);
        auto settings = config(key);
        settings->personProfiles = each.profiles;
        auto instance = plover::PloverSDK::with(settings, environment());
        LogCapture log;
        instance->capture("event", std::nullopt, each.userProperties, std::nullopt, each.groups);
        EXPECT_EQ(eventsIn(instance->storage()->url(Key::queue)).size(), 1u);
        EXPECT_EQ(instance->storageManager()->isPersonProcessing(), each.processingAfter);
        EXPECT_EQ(linesWith(log, "personProfiles is set to `never`").size(), each.loggedNever ? 1u : 0u);
        instance->close();
    }
}

TEST_F(SdkEvents, TheDroppedLineNamesTheEventGivenAndWarnsOnlyForTheClientsOwnEvents) {
    struct Case {
        std::string event;
        std::string line;
    };
    const std::vector<Case> cases{
        {"Purchase", "[Plover] Plover event Purchase was dropped"},
        {"$identify", "[Plover] Plover event $identify was dropped. This can cause unexpected behavior."},
        {"$feature_flag_called",
         "[Plover] Plover event $feature_flag_called was dropped. This can cause unexpected behavior."},
        {"$Identify", "[Plover] Plover event $Identify was dropped"},
        {"", "[Plover] Plover event  was dropped"},
    };
    auto settings = config();
    settings->setBeforeSend(
        [](PloverEvent event) -> std::optional<PloverEvent> {
            event.event = "renamed";
            return event;
        },
        [](PloverEvent) -> std::optional<PloverEvent> { return std::nullopt; });
    setUp(settings);
    for (auto& each : cases) {
        LogCapture log;
        sdk->capture(each.event);
        EXPECT_EQ(linesWith(log, "was dropped"), std::vector<std::string>{each.line}) << each.event;
    }
    EXPECT_TRUE(queued().empty());
}

TEST_F(SdkEvents, TheSanitizerRunsBeforeTheBeforeSendChainWhichMayRewriteTheEvent) {
    auto settings = config();
    settings->propertiesSanitizer = std::make_shared<AddingSanitizer>();
    std::optional<bool> sawSanitized;
    settings->setBeforeSend([&sawSanitized](PloverEvent event) -> std::optional<PloverEvent> {
        sawSanitized = event.properties.contains("sanitized") && !event.properties.contains("secret");
        event.distinctId = "rewritten";
        event.properties.insert_or_assign("stage", Value("before-send"));
        return event;
    });
    setUp(settings);
    sdk->capture("event", Properties{{"secret", "x"}});
    ASSERT_EQ(sawSanitized, std::optional<bool>(true));
    auto events = queued();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(text(events[0].at("distinct_id")), "rewritten");
    EXPECT_EQ(text(propertiesOf(events[0]).at("stage")), "before-send");
    EXPECT_FALSE(propertiesOf(events[0]).contains("secret"));
}

TEST_F(SdkEvents, AHookThatThrowsDropsTheEventInsteadOfEscapingTheCall) {
    auto settings = config();
    settings->setBeforeSend([](PloverEvent event) -> std::optional<PloverEvent> {
        if (event.event == "bad") throw std::runtime_error("hook failed");
        return event;
    });
    setUp(settings);
    LogCapture log;
    EXPECT_NO_THROW(sdk->capture("bad"));
    sdk->capture("good");
    EXPECT_EQ(queuedNames(), std::vector<std::string>{"good"});
    EXPECT_EQ(linesWith(log, "Plover event bad"),
              (std::vector<std::string>{"[Plover] Plover event bad could not be prepared: hook failed",
                                        "[Plover] Plover event bad was dropped"}));
}

TEST_F(SdkEvents, SnapshotsGoToTheReplayQueueOnlyWithASessionIdAndWithoutSharedProperties) {
    auto settings = config();
    settings->setBeforeSend([](PloverEvent event) -> std::optional<PloverEvent> {
        if (event.properties.contains("strip")) event.properties.erase("$session_id");
        if (event.event == "becomes snapshot") event.event = "$snapshot";
        return event;
    });
    setUp(settings);
    sdk->registerProperties({{"super", 1}});
    LogCapture log;
    sdk->capture("$snapshot", Properties{{"$snapshot_data", "frame"}});
    sdk->capture("$snapshot", Properties{{"strip", true}});
    sdk->capture("becomes snapshot");
    EXPECT_TRUE(queued().empty());
    auto replays = replayed();
    ASSERT_EQ(replays.size(), 2u);
    auto& snapshot = propertiesOf(replays[0]);
    EXPECT_EQ(text(snapshot.at("$snapshot_data")), "frame");
    EXPECT_TRUE(snapshot.contains("$session_id"));
    EXPECT_EQ(text(snapshot.at("distinct_id")), sdk->getDistinctId());
    EXPECT_TRUE(snapshot.contains("$lib"));
    EXPECT_FALSE(snapshot.contains("super"));
    EXPECT_FALSE(snapshot.contains("$process_person_profile"));
    // The shared properties follow the name the caller gave, the queue the name that came back.
    auto& renamed = propertiesOf(replays[1]);
    EXPECT_EQ(text(replays[1].at("event")), "$snapshot");
    EXPECT_EQ(renamed.at("super").as_int64(), 1);
    EXPECT_TRUE(linesWith(log, "dropped").empty());
}

TEST_F(SdkEvents, IdentifyTakesTheAnonymousUserOverOnceAndThenOnlySendsPersonProperties) {
    setUp();
    const auto anonymous = sdk->getAnonymousId();
    const int reloadsBefore = requests->sent();
    LogCapture log;
    sdk->identify("");
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"[Plover] identify call not allowed, distinctId is invalid: "});
    EXPECT_EQ(sdk->getDistinctId(), anonymous);

    sdk->identify("user-1", Properties{{"name", "Ada"}}, Properties{{"first_seen", "today"}});
    EXPECT_EQ(sdk->getDistinctId(), "user-1");
    EXPECT_TRUE(sdk->storageManager()->isIdentified());
    EXPECT_EQ(storageOf().getString(Key::distinctId), std::optional<std::string>("user-1"));
    EXPECT_EQ(requests->sent(), reloadsBefore + 1);

    log.clear();
    sdk->identify("user-2", Properties{{"name", "Bob"}});
    EXPECT_EQ(log.lines(), std::vector<std::string>{"[Plover] already identified with id: user-1"});
    sdk->identify("user-1");
    sdk->identify("user-1", Properties{{"plan", "pro"}});
    EXPECT_EQ(sdk->getDistinctId(), "user-1");

    auto events = queued();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(text(events[0].at("event")), "$identify");
    EXPECT_EQ(text(events[0].at("distinct_id")), "user-1");
    auto& identify = propertiesOf(events[0]);
    EXPECT_EQ(text(identify.at("distinct_id")), "user-1");
    EXPECT_EQ(text(identify.at("$anon_distinct_id")), anonymous);
    EXPECT_EQ(text(identify.at("$set").at("name")), "Ada");
    EXPECT_EQ(text(identify.at("$set_once").at("first_seen")), "today");
    EXPECT_EQ(text(events[1].at("event")), "$set");
    EXPECT_EQ(text(propertiesOf(events[1]).at("$set").at("plan")), "pro");
    EXPECT_EQ(linesWith(log, "already identified").size(), 2u);
    // Only the first identification reloads the flags.
    EXPECT_EQ(requests->sent(), reloadsBefore + 1);
    EXPECT_EQ(sdk->remoteConfig()->personPropertiesForFlags(),
              (Properties{{"name", "Ada"}, {"first_seen", "today"}, {"plan", "pro"}}));
}

TEST_F(SdkEvents, IdentifyWithTheCurrentIdAndOnlySetOncePropertiesSendsThemInOneSetEvent) {
    setUp();
    sdk->identify("user-1");
    const int reloadsBefore = requests->sent();
    LogCapture log;
    sdk->identify("user-1", std::nullopt, Properties{{"first_seen", "today"}});
    EXPECT_TRUE(linesWith(log, "already identified").empty());
    auto events = queued();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(text(events[1].at("event")), "$set");
    EXPECT_EQ(text(events[1].at("distinct_id")), "user-1");
    auto& set = propertiesOf(events[1]);
    EXPECT_EQ(text(set.at("$set_once").at("first_seen")), "today");
    EXPECT_FALSE(set.contains("$set"));
    EXPECT_EQ(sdk->remoteConfig()->personPropertiesForFlags(), (Properties{{"first_seen", "today"}}));
    EXPECT_EQ(requests->sent(), reloadsBefore) << "no flag reload";
}

TEST_F(SdkEvents, IdentifyWithReusedAnonymousIdLeavesTheAnonymousIdAlone) {
    auto settings = config();
    settings->reuseAnonymousId = true;
    setUp(settings);
    const auto anonymous = sdk->getAnonymousId();
    sdk->identify("user-1");
    auto events = queued();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_FALSE(propertiesOf(events[0]).contains("$anon_distinct_id"));
    EXPECT_EQ(sdk->getAnonymousId(), anonymous);
    EXPECT_EQ(sdk->getDistinctId(), "user-1");
}

TEST_F(SdkEvents, IdentifyWithTheCurrentAnonymousIdDoesNotIdentify) {
    setUp();
    const auto anonymous = sdk->getAnonymousId();
    LogCapture log;
    sdk->identify(anonymous);
    EXPECT_EQ(linesWith(log, "already identified"),
              std::vector<std::string>{"[Plover] already identified with id: " + anonymous});
    sdk->identify(anonymous, Properties{{"a", 1}});
    EXPECT_EQ(queuedNames(), std::vector<std::string>{"$set"});
    EXPECT_FALSE(sdk->storageManager()->isIdentified());
}

TEST_F(SdkEvents, ADroppedIdentifyKeepsTheNewIdentityButTouchesNoFlagState) {
    auto settings = config();
    settings->setBeforeSend([](PloverEvent event) -> std::optional<PloverEvent> {
        if (event.event == "$identify") return std::nullopt;
        return event;
    });
    setUp(settings);
    const int reloadsBefore = requests->sent();
    sdk->identify("user-1", Properties{{"name", "Ada"}});
    EXPECT_EQ(sdk->getDistinctId(), "user-1");
    EXPECT_TRUE(queued().empty());
    EXPECT_EQ(requests->sent(), reloadsBefore);
    EXPECT_TRUE(sdk->remoteConfig()->personPropertiesForFlags().empty());
}

TEST_F(SdkEvents, RacingIdentifiesTakeTheAnonymousUserOverOnlyOnce) {
    setUp();
    const auto anonymous = sdk->getAnonymousId();
    constexpr int racers = 8;
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < racers; ++i) {
        threads.emplace_back([&, i] {
            while (!go.load()) std::this_thread::yield();
            sdk->identify("user-" + std::to_string(i));
        });
    }
    go = true;
    for (auto& thread : threads) thread.join();
    auto events = queued();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(text(events[0].at("event")), "$identify");
    EXPECT_EQ(text(events[0].at("distinct_id")), sdk->getDistinctId());
    EXPECT_EQ(text(propertiesOf(events[0]).at("$anon_distinct_id")), anonymous);
}

TEST_F(SdkEvents, CapturesRacingCloseQueueOnlyWholeEvents) {
    setUp();
    const auto folder = sdk->storage()->url(Key::queue);
    const auto anonymous = sdk->getAnonymousId();
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            while (!go.load()) std::this_thread::yield();
            for (int n = 0; n < 50; ++n) {
                sdk->capture("racing", Properties{{"n", n}});
                sdk->screen("Racing");
            }
        });
    }
    go = true;
    sdk->close();
    for (auto& thread : threads) thread.join();
    for (auto& event : eventsIn(folder)) {
        EXPECT_EQ(text(event.at("distinct_id")), anonymous);
    }
}

TEST_F(SdkEvents, AliasSendsTheAliasUnchangedUnlessPersonProfilesAreOff) {
    setUp();
    sdk->alias("old-account");
    sdk->alias("");
    auto events = queued();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(text(events[0].at("event")), "$create_alias");
    EXPECT_EQ(text(events[0].at("distinct_id")), sdk->getDistinctId());
    EXPECT_EQ(text(propertiesOf(events[0]).at("alias")), "old-account");
    EXPECT_EQ(text(propertiesOf(events[1]).at("alias")), "");
    sdk->close();

    auto settings = config();
    settings->personProfiles = plover::PloverPersonProfiles::never;
    setUp(settings);
    LogCapture log;
    sdk->alias("ignored");
    EXPECT_EQ(log.lines(), std::vector<std::string>{
                               "[Plover] personProfiles is set to `never`. This call will be ignored."});
    EXPECT_EQ(queued().size(), 2u);
}

TEST_F(SdkEvents, AScreenAlwaysCarriesItsTitleAsTheScreenName) {
    setUp();
    sdk->screen("Settings", Properties{{"$screen_name", "Other"}, {"tab", "privacy"}});
    sdk->screen("Home");
    auto events = queued();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(text(events[0].at("event")), "$screen");
    EXPECT_EQ(text(propertiesOf(events[0]).at("$screen_name")), "Settings");
    EXPECT_EQ(text(propertiesOf(events[0]).at("tab")), "privacy");
    EXPECT_EQ(text(propertiesOf(events[1]).at("$screen_name")), "Home");
}

TEST_F(SdkEvents, GroupsAreStoredReloadFlagsOnlyWhenTheyChangeAndAreIdentifiedEachTime) {
    setUp();
    const int reloadsBefore = requests->sent();
    sdk->group("company", "acme", Properties{{"size", 3}});
    EXPECT_EQ(requests->sent(), reloadsBefore + 1);
    sdk->group("company", "acme");
    EXPECT_EQ(requests->sent(), reloadsBefore + 1);
    sdk->group("team", "core", Properties{});
    EXPECT_EQ(requests->sent(), reloadsBefore + 2);
    sdk->group("company", "globex", Properties{{"link", Value(plover::OpaqueObject{})}});
    EXPECT_EQ(requests->sent(), reloadsBefore + 3);

    auto stored = storageOf().getJson(Key::groups);
    ASSERT_TRUE(stored);
    EXPECT_EQ(*stored, json::parse(R"({"company":"globex","team":"core"})"));

    auto events = queued();
    ASSERT_EQ(events.size(), 4u);
    for (auto& event : events) EXPECT_EQ(text(event.at("event")), "$groupidentify");
    auto& first = propertiesOf(events[0]);
    EXPECT_EQ(text(first.at("$group_type")), "company");
    EXPECT_EQ(text(first.at("$group_key")), "acme");
    EXPECT_EQ(first.at("$group_set"), json::parse(R"({"size":3})"));
    EXPECT_EQ(first.at("$groups"), json::parse(R"({"company":"acme"})"));
    EXPECT_FALSE(propertiesOf(events[1]).contains("$group_set"));
    EXPECT_FALSE(propertiesOf(events[2]).contains("$group_set"));
    EXPECT_FALSE(propertiesOf(events[3]).contains("$group_set"));
    EXPECT_EQ(propertiesOf(events[3]).at("$groups"), json::parse(R"({"company":"globex","team":"core"})"));

    // Group properties reach the flag requests once the group was joined (person processing on).
    auto forFlags = sdk->remoteConfig()->groupPropertiesForFlags();
    EXPECT_EQ(forFlags, (plover::PloverRemoteConfig::GroupPropertiesForFlags{{"company", {{"size", 3}}}}));
}

TEST_F(SdkEvents, PersonPropertiesForFlagsPreferWhatIsSetOverWhatIsSetOnce) {
    auto settings = config();
    settings->personProfiles = plover::PloverPersonProfiles::always;
    setUp(settings);
    sdk->capture("event", std::nullopt, Properties{{"a", 1}}, Properties{{"a", 2}, {"b", 3}});
    EXPECT_EQ(sdk->remoteConfig()->personPropertiesForFlags(), (Properties{{"a", 1}, {"b", 3}}));
    sdk->close();

    settings = config();
    settings->personProfiles = plover::PloverPersonProfiles::never;
    setUp(settings);
    sdk->remoteConfig()->resetPersonPropertiesForFlags();
    sdk->capture("event", std::nullopt, Properties{{"c", 1}});
    EXPECT_TRUE(sdk->remoteConfig()->personPropertiesForFlags().empty());
}

}  // namespace
