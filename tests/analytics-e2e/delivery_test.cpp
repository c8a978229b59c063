// What reaches the ingestion service: the batch upload and its events with their merged
// properties, the identity, screen and group events, session-replay snapshots, dropped events,
// and application hooks that call the client back.

#include <cstdio>
#include <cstdlib>
#include <future>
#include <regex>
#include <set>

#include "analytics/context/plover_context.hpp"
#include "analytics/storage/plover_storage_manager.hpp"
#include "e2e_fixture.hpp"

namespace {

using namespace analytics_e2e;
using plover::Value;

const std::regex isoMilliseconds(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}Z)");
const std::regex upperUuidV7(R"([0-9A-F]{8}-[0-9A-F]{4}-7[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12})");

std::set<std::string> keysOf(const json::object& object) {
    std::set<std::string> keys;
    for (auto& [key, value] : object) keys.emplace(key);
    return keys;
}

TEST_F(EndToEnd, ACaptureArrivesAsAGzipBatchCarryingContextSuperGroupFlagAndSessionProperties) {
    auto sdk = setUp();
    loadFlags(*sdk);
    sdk->registerProperties({{"plan_tier", "pro"}, {"team_size", 4}});
    sdk->group("company", "acme");
    sdk->capture("Button Tapped", Properties{{"color", "blue"}, {"plan_tier", "free"}, {"$lib", "mine"}});
    auto event = waitForEvent(*sdk, "Button Tapped");
    ASSERT_FALSE(event.empty());

    // The upload itself.
    std::optional<support::RecordedRequest> upload;
    for (auto& request : server.requests()) {
        if (request.path == "/batch") {
            auto body = json::parse(support::gunzip(request.body));
            for (auto& sent : body.at("batch").as_array()) {
                if (sent.at("event") == "Button Tapped") upload = request;
            }
        }
    }
    ASSERT_TRUE(upload);
    EXPECT_EQ(upload->method, "POST");
    EXPECT_EQ(upload->header("Content-Encoding"), "gzip");
    EXPECT_EQ(upload->header("Accept-Encoding"), "gzip");
    EXPECT_EQ(upload->header("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(upload->header("User-Agent"), plover::ploverSdkName() + "/" + plover::ploverVersion());
    ASSERT_GE(upload->body.size(), 2u);
    EXPECT_EQ(static_cast<unsigned char>(upload->body[0]), 0x1f);
    EXPECT_EQ(static_cast<unsigned char>(upload->body[1]), 0x8b);
    auto body = json::parse(support::gunzip(upload->body)).as_object();
    EXPECT_EQ(keysOf(body), (std::set<std::string>{"api_key", "batch", "sent_at"}));
    EXPECT_EQ(text(body.at("api_key")), apiKey);
    EXPECT_TRUE(std::regex_match(text(body.at("sent_at")), isoMilliseconds)) << body.at("sent_at");

    // The event record.
    EXPECT_EQ(keysOf(event), (std::set<std::string>{"event", "distinct_id", "properties", "timestamp", "uuid"}));
    EXPECT_EQ(text(event.at("distinct_id")), sdk->getDistinctId());
    EXPECT_EQ(text(event.at("distinct_id")), sdk->getAnonymousId());
    EXPECT_TRUE(std::regex_match(text(event.at("uuid")), upperUuidV7)) << event.at("uuid");
    EXPECT_TRUE(std::regex_match(text(event.at("timestamp")), isoMilliseconds)) << event.at("timestamp");

    auto& properties = event.at("properties").as_object();
    // The caller's own property, and the caller losing to every other source of the same key.
    EXPECT_EQ(properties.at("color"), "blue");
    EXPECT_EQ(properties.at("plan_tier"), "pro");
    EXPECT_EQ(properties.at("team_size"), 4);
    EXPECT_EQ(text(properties.at("$lib")), plover::ploverSdkName());
    EXPECT_EQ(text(properties.at("$lib_version")), plover::ploverVersion());
    // The stored group.
    EXPECT_EQ(properties.at("$groups"), json::parse(R"({"company": "acme"})"));
    // The flags of the last answer.
    EXPECT_EQ(properties.at("$feature/beta"), true);
    EXPECT_EQ(properties.at("$feature/plan"), "gold");
    EXPECT_EQ(properties.at("$feature/legacy"), false);
    std::set<std::string> active;
    for (auto& key : properties.at("$active_feature_flags").as_array()) active.insert(text(key));
    EXPECT_EQ(active, (std::set<std::string>{"beta", "plan"}));
    // The session.
    ASSERT_TRUE(sdk->getSessionId());
    EXPECT_EQ(text(properties.at("$session_id")), *sdk->getSessionId());
    // Identity and person processing: a group call asks for person profiles, so from then on
    // anonymous events are processed too.
    EXPECT_EQ(properties.at("$is_identified"), false);
    EXPECT_EQ(properties.at("$process_person_profile"), true);
    // The device and application context, static and dynamic.
    plover::PloverContext context(nullptr);
    for (auto& [key, value] : context.theStaticContext()) {
        ASSERT_TRUE(properties.contains(key)) << key;
        EXPECT_EQ(properties.at(key), value.toJson().value()) << key;
    }
    EXPECT_EQ(text(properties.at("$timezone")), plover::currentTimeZoneIdentifier());
}

TEST_F(EndToEnd, IdentifySendsTheNewAndTheAnonymousIdAndReloadsFlagsForTheNewPerson) {
    auto sdk = setUp();
    auto anonymous = sdk->getAnonymousId();
    ASSERT_FALSE(anonymous.empty());
    auto flagRequestsBefore = flagRequestBodies().size();
    sdk->identify("user-42", Properties{{"email", "ada@example.org"}}, Properties{{"first_seen", "2024"}});
    auto event = waitForEvent(*sdk, "$identify");
    ASSERT_FALSE(event.empty());
    EXPECT_EQ(event.at("distinct_id"), "user-42");
    auto& properties = event.at("properties").as_object();
    EXPECT_EQ(properties.at("distinct_id"), "user-42");
    EXPECT_EQ(text(properties.at("$anon_distinct_id")), anonymous);
    EXPECT_EQ(properties.at("$set"), json::parse(R"({"email": "ada@example.org"})"));
    EXPECT_EQ(properties.at("$set_once"), json::parse(R"({"first_seen": "2024"})"));
    EXPECT_EQ(properties.at("$is_identified"), true);
    EXPECT_EQ(properties.at("$process_person_profile"), true);
    EXPECT_EQ(sdk->getDistinctId(), "user-42");
    EXPECT_EQ(sdk->getAnonymousId(), anonymous);

    // The flags are asked for again, for the new person with their properties.
    ASSERT_TRUE(support::eventually([&] {
        for (auto& body : flagRequestBodies()) {
            if (body.at("distinct_id") == "user-42") return true;
        }
        return false;
    }));
    EXPECT_GT(flagRequestBodies().size(), flagRequestsBefore);
    for (auto& body : flagRequestBodies()) {
        if (body.at("distinct_id") != "user-42") continue;
        EXPECT_EQ(text(body.at("api_key")), apiKey);
        EXPECT_EQ(text(body.at("$anon_distinct_id")), anonymous);
        auto& person = body.at("person_properties").as_object();
        EXPECT_EQ(person.at("email"), "ada@example.org");
        EXPECT_EQ(person.at("first_seen"), "2024");
    }

    // Later events belong to the identified person.
    sdk->capture("after identify");
    auto after = waitForEvent(*sdk, "after identify");
    EXPECT_EQ(after.at("distinct_id"), "user-42");
    EXPECT_EQ(after.at("properties").at("$is_identified"), true);
}

TEST_F(EndToEnd, AliasScreenAndGroupReachTheBatchEndpointWithTheirProperties) {
    auto sdk = setUp();
    sdk->identify("user-7");
    sdk->alias("old-account-7");
    sdk->screen("Settings", Properties{{"$screen_name", "Other"}, {"tab", "privacy"}});
    sdk->group("company", "acme", Properties{{"seats", 12}, {"name", "Acme"}});
    sdk->group("company", "acme");

    auto alias = waitForEvent(*sdk, "$create_alias");
    EXPECT_EQ(alias.at("distinct_id"), "user-7");
    EXPECT_EQ(alias.at("properties").at("alias"), "old-account-7");

    auto screen = waitForEvent(*sdk, "$screen");
    EXPECT_EQ(screen.at("distinct_id"), "user-7");
    EXPECT_EQ(screen.at("properties").at("$screen_name"), "Settings");
    EXPECT_EQ(screen.at("properties").at("tab"), "privacy");

    drain(*sdk);
    auto groups = eventsNamed("$groupidentify");
    ASSERT_EQ(groups.size(), 2u);
    for (auto& group : groups) {
        auto& properties = group.at("properties").as_object();
        EXPECT_EQ(group.at("distinct_id"), "user-7");
        EXPECT_EQ(properties.at("$group_type"), "company");
        EXPECT_EQ(properties.at("$group_key"), "acme");
        EXPECT_EQ(properties.at("$groups"), json::parse(R"({"company": "acme"})"));
    }
    EXPECT_EQ(groups[0].at("properties").at("$group_set"), json::parse(R"({"seats": 12, "name": "Acme"})"));
    EXPECT_FALSE(groups[1].at("properties").as_object().contains("$group_set"));

    // The new group is evaluated by the flags from then on.
    ASSERT_TRUE(support::eventually([&] {
        for (auto& body : flagRequestBodies()) {
            if (body.at("$groups") == json::parse(R"({"company": "acme"})")) return true;
        }
        return false;
    }));
    sdk->reloadFeatureFlags();
    ASSERT_TRUE(support::eventually([&] {
        for (auto& body : flagRequestBodies()) {
            auto& object = body.as_object();
            if (object.contains("group_properties") &&
                object.at("group_properties") == json::parse(R"({"company": {"seats": 12, "name": "Acme"}})")) {
                return true;
            }
        }
        return false;
    }));
}

TEST_F(EndToEnd, ASnapshotGoesToTheReplayEndpointAsAnArrayWithoutSharedProperties) {
    auto sdk = setUp();
    sdk->registerProperties({{"plan_tier", "pro"}});
    auto session = sdk->getSessionId();
    ASSERT_TRUE(session);
    sdk->capture("$snapshot", Properties{{"$session_id", *session},
                                         {"$snapshot_data", Value::Array{Value(Properties{{"type", 2}})}}});
    ASSERT_TRUE(support::eventually([&] {
        if (!uploads("/s/").empty()) return true;
        sdk->flush();
        return false;
    }));
    std::optional<support::RecordedRequest> upload;
    for (auto& request : server.requests()) {
        if (request.path == "/s/") upload = request;
    }
    ASSERT_TRUE(upload);
    EXPECT_EQ(upload->method, "POST");
    EXPECT_EQ(upload->header("Content-Encoding"), "gzip");
    auto body = uploads("/s/").front();
    ASSERT_TRUE(body.is_array());
    ASSERT_EQ(body.as_array().size(), 1u);
    auto& snapshot = body.as_array()[0].as_object();
    EXPECT_EQ(keysOf(snapshot),
              (std::set<std::string>{"event", "distinct_id", "properties", "timestamp", "uuid", "api_key"}));
    EXPECT_EQ(snapshot.at("event"), "$snapshot");
    EXPECT_EQ(text(snapshot.at("api_key")), apiKey);
    EXPECT_EQ(text(snapshot.at("distinct_id")), sdk->getDistinctId());
    auto& properties = snapshot.at("properties").as_object();
    EXPECT_EQ(keysOf(properties),
              (std::set<std::string>{"$lib", "$lib_version", "$session_id", "$snapshot_data", "distinct_id"}));
    EXPECT_EQ(text(properties.at("$session_id")), *session);
    EXPECT_EQ(text(properties.at("distinct_id")), sdk->getDistinctId());
    EXPECT_EQ(properties.at("$snapshot_data"), json::parse(R"([{"type": 2}])"));

    // Never through the event queue.
    drain(*sdk);
    EXPECT_TRUE(eventsNamed("$snapshot").empty());
}

TEST_F(EndToEnd, IdentifyWithTheCurrentIdSendsOnlyThePersonProperties) {
    auto sdk = setUp();
    auto anonymous = sdk->getAnonymousId();
    sdk->identify(anonymous, Properties{{"name", "Ada"}});
    sdk->identify(anonymous);
    auto set = waitForEvent(*sdk, "$set");
    ASSERT_FALSE(set.empty());
    EXPECT_EQ(text(set.at("distinct_id")), anonymous);
    EXPECT_EQ(set.at("properties").at("$set"), json::parse(R"({"name": "Ada"})"));
    drain(*sdk);
    EXPECT_TRUE(eventsNamed("$identify").empty());
    EXPECT_EQ(eventsNamed("$set").size(), 1u);
    EXPECT_EQ(logged("[Plover] already identified with id: " + anonymous), 1u);
    EXPECT_EQ(sdk->getDistinctId(), anonymous);
}

TEST_F(EndToEnd, BelowFlushAtEventsWaitOnDiskForAFlushAndGoInOneBatch) {
    auto settings = config();
    settings->flushAt = 20;
    auto sdk = setUp(settings);
    for (int i = 0; i < 3; ++i) sdk->capture("held", Properties{{"i", i}});
    sdk->flush();
    ASSERT_TRUE(support::eventually([&] { return eventsNamed("held").size() == 3; }));
    auto batches = uploads();
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_EQ(batches[0].at("batch").as_array().size(), 3u);
}

TEST_F(EndToEnd, TwoInstancesOfDifferentKeysUploadTheirOwnEventsUnderTheirOwnKey) {
    auto first = setUp(config("first-key"));
    auto second = setUp(config("second-key"));
    ASSERT_TRUE(first->isEnabled() && second->isEnabled());
    for (int i = 0; i < 5; ++i) {
        first->capture("from first");
        second->capture("from second");
    }
    ASSERT_TRUE(support::eventually([&] {
        first->flush();
        second->flush();
        return eventsNamed("from first").size() == 5 && eventsNamed("from second").size() == 5;
    }));
    for (auto& body : uploads()) {
        auto key = text(body.at("api_key"));
        for (auto& event : body.at("batch").as_array()) {
            EXPECT_EQ(text(event.at("event")), key == "first-key" ? "from first" : "from second") << body;
        }
    }
    // Each keeps its own identity in its own folder.
    EXPECT_NE(first->getAnonymousId(), second->getAnonymousId());
    first->close();
    second->close();
}

TEST_F(EndToEnd, GroupsGivenWithACaptureJoinTheStoredOnesAndUnregisteredSuperPropertiesAreGone) {
    auto sdk = setUp();
    sdk->group("company", "acme");
    sdk->registerProperties({{"plan_tier", "pro"}, {"region", "eu"}});
    sdk->unregisterProperties("region");
    sdk->capture("with groups", Properties{}, std::nullopt, std::nullopt,
                 PloverSDK::Groups{{"company", "other"}, {"project", "p1"}});
    auto event = waitForEvent(*sdk, "with groups");
    ASSERT_FALSE(event.empty());
    auto& properties = event.at("properties").as_object();
    EXPECT_EQ(properties.at("$groups"), json::parse(R"({"company": "acme", "project": "p1"})"));
    EXPECT_EQ(properties.at("plan_tier"), "pro");
    EXPECT_FALSE(properties.contains("region"));
}

TEST_F(EndToEnd, ACaptureForAnotherDistinctIdIsSentUnderThatIdEvenAnEmptyOne) {
    auto sdk = setUp();
    sdk->capture("for someone else", std::string("server-side-user"), std::nullopt, std::nullopt, std::nullopt,
                 std::nullopt);
    sdk->capture("for nobody", std::string(), std::nullopt, std::nullopt, std::nullopt, std::nullopt);
    drain(*sdk);
    ASSERT_EQ(eventsNamed("for someone else").size(), 1u);
    ASSERT_EQ(eventsNamed("for nobody").size(), 1u);
    EXPECT_EQ(text(eventsNamed("for someone else")[0].at("distinct_id")), "server-side-user");
    EXPECT_EQ(text(eventsNamed("for nobody")[0].at("distinct_id")), "");
    // The instance's own identity is untouched.
    EXPECT_EQ(sdk->getDistinctId(), sdk->getAnonymousId());
}

TEST_F(EndToEnd, AnEventRenamedToASnapshotBeforeSendingGoesToTheReplayEndpointWithItsSharedProperties) {
    auto settings = config();
    settings->setBeforeSend([](plover::PloverEvent event) -> std::optional<plover::PloverEvent> {
        if (event.event == "to replay") event.event = "$snapshot";
        return event;
    });
    auto sdk = setUp(settings);
    sdk->capture("to replay", Properties{{"$snapshot_data", Value::Array{}}});
    ASSERT_TRUE(support::eventually([&] {
        if (!uploads("/s/").empty()) return true;
        sdk->flush();
        return false;
    }));
    auto bodies = uploads("/s/");
    auto& snapshot = bodies.front().as_array().at(0).as_object();
    EXPECT_EQ(snapshot.at("event"), "$snapshot");
    auto& properties = snapshot.at("properties").as_object();
    EXPECT_TRUE(properties.contains("$process_person_profile"));
    EXPECT_TRUE(properties.contains("$session_id"));
    drain(*sdk);
    EXPECT_TRUE(eventsNamed("to replay").empty());
    EXPECT_TRUE(eventsNamed("$snapshot").empty());
}

TEST_F(EndToEnd, TheFlushTimerSendsWhatStaysBelowTheThreshold) {
    auto settings = config();
    settings->flushAt = 20;
    settings->flushIntervalSeconds = 0.2;
    settings->disableQueueTimerForTesting = false;
    auto sdk = setUp(settings);
    sdk->capture("on the timer");
    // No flush is asked for here.
    EXPECT_TRUE(support::eventually([&] { return !eventsNamed("on the timer").empty(); }));
    sdk->close();
}

TEST_F(EndToEnd, ACaptureWithPersonPropertiesSetsThemAndTheNextFlagRequestCarriesThem) {
    auto sdk = setUp();
    sdk->capture("signed up", Properties{{"source", "ad"}}, Properties{{"email", "ada@example.org"}, {"tier", "a"}},
                 Properties{{"tier", "b"}, {"first_visit", "2024-03-05"}});
    auto event = waitForEvent(*sdk, "signed up");
    ASSERT_FALSE(event.empty());
    auto& properties = event.at("properties").as_object();
    EXPECT_EQ(properties.at("$set"), json::parse(R"({"email": "ada@example.org", "tier": "a"})"));
    EXPECT_EQ(properties.at("$set_once"), json::parse(R"({"tier": "b", "first_visit": "2024-03-05"})"));
    // Asking for a person profile turned person processing on for this anonymous user.
    EXPECT_EQ(properties.at("$process_person_profile"), true);
    loadFlags(*sdk);
    auto bodies = flagRequestBodies();
    auto& person = bodies.back().at("person_properties").as_object();
    EXPECT_EQ(person.at("email"), "ada@example.org");
    EXPECT_EQ(person.at("tier"), "a");
    EXPECT_EQ(person.at("first_visit"), "2024-03-05");
}

TEST_F(EndToEnd, ADroppedEventLogsItsLineAndNeverArrives) {
    auto settings = config();
    settings->setBeforeSend([](plover::PloverEvent event) -> std::optional<plover::PloverEvent> {
        if (event.event == "drop me" || event.event == "$identify") return std::nullopt;
        if (event.event == "rename me") event.event = "renamed";
        return event;
    });
    auto sdk = setUp(settings);
    sdk->capture("drop me");
    sdk->identify("user-9");
    sdk->capture("rename me");
    drain(*sdk);

    EXPECT_EQ(logged("[Plover] Plover event drop me was dropped"), 1u);
    EXPECT_EQ(logged("[Plover] Plover event $identify was dropped. This can cause unexpected behavior."), 1u);
    EXPECT_TRUE(eventsNamed("drop me").empty());
    EXPECT_TRUE(eventsNamed("$identify").empty());
    EXPECT_TRUE(eventsNamed("rename me").empty());
    EXPECT_EQ(eventsNamed("renamed").size(), 1u);
    // The identity changed all the same.
    EXPECT_EQ(sdk->getDistinctId(), "user-9");
}

TEST_F(EndToEnd, EventsArriveInTheOrderTheyWereCapturedWithTheirOwnTimes) {
    auto sdk = setUp();
    const auto then = plover::Date(std::chrono::milliseconds(1709622489123));
    sdk->capture("backdated", std::nullopt, Properties{}, std::nullopt, std::nullopt, std::nullopt, then);
    for (int i = 0; i < 30; ++i) sdk->capture("in order", Properties{{"i", i}});
    drain(*sdk);
    auto ordered = eventsNamed("in order");
    ASSERT_EQ(ordered.size(), 30u);
    for (int i = 0; i < 30; ++i) EXPECT_EQ(ordered[i].at("properties").at("i"), i);
    std::set<std::string> ids;
    for (auto& event : ordered) ids.insert(text(event.at("uuid")));
    EXPECT_EQ(ids.size(), 30u);
    auto backdated = eventsNamed("backdated");
    ASSERT_EQ(backdated.size(), 1u);
    EXPECT_EQ(text(backdated[0].at("timestamp")), "2024-03-05T07:08:09.123Z");
}

TEST_F(EndToEnd, ResetForgetsTheUserAndEveryFlagIsReportedAgain) {
    auto sdk = setUp();
    loadFlags(*sdk);
    sdk->identify("user-8");
    sdk->registerProperties({{"plan_tier", "pro"}});
    sdk->group("company", "acme");
    sdk->getFeatureFlag("beta");
    auto sessionBefore = sdk->getSessionId();
    auto anonymousBefore = sdk->getAnonymousId();
    drain(*sdk);
    ASSERT_EQ(eventsNamed("$feature_flag_called").size(), 1u);

    sdk->reset();
    EXPECT_NE(sdk->getAnonymousId(), anonymousBefore);
    EXPECT_EQ(sdk->getDistinctId(), sdk->getAnonymousId());
    EXPECT_NE(sdk->getSessionId(), sessionBefore);
    // The reset's own flag request goes out for the new anonymous person.
    ASSERT_TRUE(support::eventually([&] {
        for (auto& body : flagRequestBodies()) {
            if (text(body.at("distinct_id")) == sdk->getDistinctId()) return true;
        }
        return false;
    }));
    sdk->getFeatureFlag("beta");
    sdk->capture("after reset");
    auto after = waitForEvent(*sdk, "after reset");
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(text(after.at("distinct_id")), sdk->getDistinctId());
    auto& properties = after.at("properties").as_object();
    EXPECT_FALSE(properties.contains("plan_tier"));
    EXPECT_FALSE(properties.contains("$groups"));
    EXPECT_EQ(properties.at("$is_identified"), false);
    EXPECT_EQ(eventsNamed("$feature_flag_called").size(), 2u);
}

// Runs `body` on a thread of its own and answers whether it returned within the limit. A body
// stuck on a lock of the client cannot be torn down safely, so the caller ends the program then.
template <class F>
bool returnsWithin(std::chrono::seconds limit, F body) {
    auto finished = std::make_shared<std::promise<void>>();
    auto done = finished->get_future();
    std::thread([body = std::move(body), finished]() mutable {
        body();
        finished->set_value();
    }).detach();
    return done.wait_for(limit) == std::future_status::ready;
}

[[noreturn]] void endStuck(const char* what) {
    ADD_FAILURE() << what;
    std::fflush(nullptr);
    std::_Exit(1);
}

// Hooks of the application run without any lock of the client held, so they may call the client
// back; a lock held over them would hang the call.
TEST_F(EndToEnd, ApplicationCallbacksMayCallTheClientBack) {
    auto settings = config();
    auto self = std::make_shared<std::weak_ptr<PloverSDK>>();
    settings->setBeforeSend([self](plover::PloverEvent event) -> std::optional<plover::PloverEvent> {
        if (auto sdk = self->lock(); sdk && event.event == "outer") {
            event.properties["seen_distinct_id"] = sdk->getDistinctId();
            event.properties["seen_opt_out"] = sdk->isOptOut();
            event.properties["seen_beta"] = sdk->isFeatureEnabled("beta");
            sdk->registerProperties({{"registered_inside", true}});
            sdk->group("team", "blue");
            sdk->capture("inner");
        }
        return event;
    });
    class CallingSanitizer : public plover::PloverPropertiesSanitizer {
    public:
        explicit CallingSanitizer(std::shared_ptr<std::weak_ptr<PloverSDK>> self) : self_(std::move(self)) {}
        Properties sanitize(Properties properties) override {
            if (auto sdk = self_->lock()) properties["sanitizer_saw_session"] = sdk->getSessionId().value_or("");
            return properties;
        }

    private:
        std::shared_ptr<std::weak_ptr<PloverSDK>> self_;
    };
    settings->propertiesSanitizer = std::make_shared<CallingSanitizer>(self);
    auto sdk = setUp(settings);
    *self = sdk;
    loadFlags(*sdk);

    bool returned = returnsWithin(20s, [sdk] {
        sdk->capture("outer");
        // The reload's callback calls back as well, on the flag store's executor.
        auto reloaded = std::make_shared<std::promise<void>>();
        sdk->reloadFeatureFlags([sdk, reloaded] {
            sdk->getFeatureFlag("plan");
            sdk->reloadFeatureFlags();
            reloaded->set_value();
        });
        reloaded->get_future().wait();
    });
    if (!returned) endStuck("a callback calling the client back never returned");

    auto outer = waitForEvent(*sdk, "outer");
    ASSERT_FALSE(outer.empty());
    auto& properties = outer.at("properties").as_object();
    EXPECT_EQ(text(properties.at("seen_distinct_id")), sdk->getDistinctId());
    EXPECT_EQ(properties.at("seen_opt_out"), false);
    EXPECT_EQ(properties.at("seen_beta"), true);
    EXPECT_EQ(text(properties.at("sanitizer_saw_session")), sdk->getSessionId().value_or("?"));
    EXPECT_FALSE(waitForEvent(*sdk, "inner").empty());
    drain(*sdk);
    EXPECT_FALSE(eventsNamed("$groupidentify").empty());
    sdk->capture("later");
    auto later = waitForEvent(*sdk, "later");
    ASSERT_FALSE(later.empty());
    EXPECT_EQ(later.at("properties").at("registered_inside"), true);
    EXPECT_EQ(later.at("properties").at("$groups").at("team"), "blue");
}

}  // namespace
