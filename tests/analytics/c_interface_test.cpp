#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "analytics/capi/plover.h"
#include "analytics/capi/plover_c_handles.hpp"
#include "analytics/util/time_based_epoch_generator.hpp"

namespace {

using ConfigPtr = std::unique_ptr<plover_config, decltype(&plover_config_free)>;

ConfigPtr newConfig(const char* key = "c-key", const char* host = "http://127.0.0.1:9") {
    return ConfigPtr(plover_config_new(key, host), &plover_config_free);
}

// The returned copy as a string, freed; "<null>" for NULL.
std::string take(char* text) {
    if (!text) return "<null>";
    std::string copy(text);
    plover_string_free(text);
    return copy;
}

plover::PloverEvent sampleEvent(std::string name = "tapped") {
    return plover::PloverEvent(std::move(name), "person", {{"a", 1}}, plover::Date{}, plover::TimeBasedEpochGenerator::v7());
}

TEST(CInterfaceConfig, NewRefusesWhatItCannotUseAndNeverFallsBackToTheDefaultHost) {
    EXPECT_EQ(plover_config_new(nullptr, nullptr), nullptr);
    EXPECT_EQ(plover_config_new("\xc3\x28", nullptr), nullptr);  // not UTF-8
    auto byDefault = newConfig("k", nullptr);
    EXPECT_EQ(take(plover_config_get_host(byDefault.get())), std::string(plover::PloverConfig::defaultHost));
    auto unusable = newConfig("k", "not a url");
    ASSERT_TRUE(unusable);
    EXPECT_EQ(take(plover_config_get_host(unusable.get())), "");
    auto empty = newConfig("", nullptr);  // an empty key is accepted, as everywhere
    ASSERT_TRUE(empty);
    EXPECT_EQ(take(plover_config_get_api_key(empty.get())), "");
}

TEST(CInterfaceConfig, SettersReachTheConfigurationAndRefuseValuesOutOfRange) {
    auto config = newConfig();
    auto& native = *config->config;
    struct IntCase {
        int field;
        long long value;
        plover_status status;
        long long readBack;
    };
    const IntCase ints[] = {
        {PLOVER_CONFIG_FLUSH_AT, 1, PLOVER_OK, 1},
        {PLOVER_CONFIG_FLUSH_AT, static_cast<long long>(INT_MAX) + 1, PLOVER_INVALID_ARGUMENT, 1},
        {PLOVER_CONFIG_MAX_QUEUE_SIZE, 5, PLOVER_OK, 5},
        {PLOVER_CONFIG_MAX_BATCH_SIZE, 7, PLOVER_OK, 7},
        {PLOVER_CONFIG_DATA_MODE, PLOVER_DATA_MODE_WIFI, PLOVER_OK, 0},
        {PLOVER_CONFIG_DATA_MODE, 3, PLOVER_INVALID_ARGUMENT, 0},
        {PLOVER_CONFIG_PERSON_PROFILES, PLOVER_PERSON_PROFILES_ALWAYS, PLOVER_OK, 1},
        {PLOVER_CONFIG_PERSON_PROFILES, -1, PLOVER_INVALID_ARGUMENT, 1},
        {99, 1, PLOVER_INVALID_ARGUMENT, 0},
    };
    for (const auto& c : ints) {
        SCOPED_TRACE(std::to_string(c.field) + " = " + std::to_string(c.value));
        EXPECT_EQ(plover_config_set_int(config.get(), c.field, c.value), c.status);
        EXPECT_EQ(plover_config_get_int(config.get(), c.field), c.readBack);
    }
    EXPECT_EQ(native.flushAt, 1);
    EXPECT_EQ(native.dataMode, plover::PloverConfig::PloverDataMode::wifi);
    EXPECT_EQ(native.personProfiles, plover::PloverPersonProfiles::always);

    EXPECT_EQ(plover_config_set_bool(config.get(), PLOVER_CONFIG_OPT_OUT, true), PLOVER_OK);
    EXPECT_TRUE(native.optOut);
    EXPECT_EQ(plover_config_set_bool(config.get(), PLOVER_CONFIG_CAPTURE_SCREEN_VIEWS, false), PLOVER_OK);
    EXPECT_FALSE(native.captureScreenViews);
    EXPECT_TRUE(plover_config_get_bool(config.get(), PLOVER_CONFIG_OPT_OUT));
    EXPECT_FALSE(plover_config_get_bool(config.get(), PLOVER_CONFIG_DEBUG));
    EXPECT_EQ(plover_config_set_bool(config.get(), 42, true), PLOVER_INVALID_ARGUMENT);

    EXPECT_EQ(plover_config_set_flush_interval_seconds(config.get(), 2.5), PLOVER_OK);
    EXPECT_EQ(plover_config_set_flush_interval_seconds(config.get(), NAN), PLOVER_INVALID_ARGUMENT);
    EXPECT_EQ(plover_config_get_flush_interval_seconds(config.get()), 2.5);

    EXPECT_EQ(take(plover_config_get_string(config.get(), PLOVER_CONFIG_APP_GROUP_IDENTIFIER)), "<null>");
    EXPECT_EQ(plover_config_set_string(config.get(), PLOVER_CONFIG_APP_GROUP_IDENTIFIER, "group.app"), PLOVER_OK);
    EXPECT_EQ(native.appGroupIdentifier, "group.app");
    EXPECT_EQ(plover_config_set_string(config.get(), PLOVER_CONFIG_APP_GROUP_IDENTIFIER, nullptr), PLOVER_OK);
    EXPECT_FALSE(native.appGroupIdentifier);
    EXPECT_EQ(take(plover_config_get_string(config.get(), PLOVER_CONFIG_SNAPSHOT_ENDPOINT)), "/s/");
    EXPECT_EQ(plover_config_set_string(config.get(), PLOVER_CONFIG_SNAPSHOT_ENDPOINT, nullptr), PLOVER_INVALID_ARGUMENT);
    EXPECT_EQ(plover_config_set_string(config.get(), PLOVER_CONFIG_SNAPSHOT_ENDPOINT, "/replay/"), PLOVER_OK);
    EXPECT_EQ(native.snapshotEndpoint(), "/replay/");

    // A missing configuration is an argument error, never a crash.
    EXPECT_EQ(plover_config_set_int(nullptr, PLOVER_CONFIG_FLUSH_AT, 1), PLOVER_INVALID_ARGUMENT);
    EXPECT_EQ(plover_config_get_int(nullptr, PLOVER_CONFIG_FLUSH_AT), 0);
    EXPECT_EQ(plover_config_get_host(nullptr), nullptr);
}

struct Chain {
    std::vector<std::string> calls;
    int destroyed = 0;
};

struct Step {
    Chain* chain;
    const char* name;
    bool keep;
};

bool recordStep(plover_event* event, void* data) {
    auto* step = static_cast<Step*>(data);
    step->chain->calls.push_back(step->name);
    if (step->keep) {
        std::string renamed = take(plover_event_get_event(event)) + "+" + step->name;
        EXPECT_EQ(plover_event_set_event(event, renamed.c_str()), PLOVER_OK);
    }
    return step->keep;
}

void countDestroyed(void* data) { ++static_cast<Step*>(data)->chain->destroyed; }

TEST(CInterfaceBeforeSend, BoxesRunInOrderADropEndsTheChainAndUserDataIsReleasedOnce) {
    Chain chain;
    Step first{&chain, "first", true};
    Step dropper{&chain, "dropper", false};
    Step never{&chain, "never", true};
    auto config = newConfig();
    {
        plover_before_send* boxes[] = {plover_before_send_new(recordStep, &first, countDestroyed),
                                       plover_before_send_new(recordStep, &dropper, countDestroyed),
                                       plover_before_send_new(recordStep, &never, countDestroyed)};
        ASSERT_EQ(plover_config_set_before_send(config.get(), boxes, 3), PLOVER_OK);
        for (auto* box : boxes) plover_before_send_free(box);
    }
    EXPECT_EQ(chain.destroyed, 0);  // the configuration's chain still holds them
    EXPECT_FALSE(config->config->beforeSend(sampleEvent()));
    EXPECT_EQ(chain.calls, (std::vector<std::string>{"first", "dropper"}));

    // A chain without the dropper passes the event on, changed by each step in order.
    chain.calls.clear();
    plover_before_send* kept[] = {plover_before_send_new(recordStep, &first, nullptr),
                                  plover_before_send_new(recordStep, &never, nullptr)};
    ASSERT_EQ(plover_config_set_before_send(config.get(), kept, 2), PLOVER_OK);
    for (auto* box : kept) plover_before_send_free(box);
    EXPECT_EQ(chain.destroyed, 3);  // the replaced chain let go of its functions
    auto passed = config->config->beforeSend(sampleEvent());
    ASSERT_TRUE(passed);
    EXPECT_EQ(passed->event, "tapped+first+never");

    EXPECT_EQ(plover_config_set_before_send(config.get(), nullptr, 0), PLOVER_OK);  // an empty chain
    EXPECT_TRUE(config->config->beforeSend(sampleEvent()));
    EXPECT_EQ(plover_config_set_before_send(config.get(), nullptr, 2), PLOVER_INVALID_ARGUMENT);
    EXPECT_EQ(plover_before_send_new(nullptr, nullptr, nullptr), nullptr);
}

TEST(CInterfaceEvent, AccessorsChangeTheEventAndRefuseBadValues) {
    auto native = sampleEvent();
    auto* event = reinterpret_cast<plover_event*>(&native);
    EXPECT_EQ(take(plover_event_get_properties(event)), R"({"a":1})");
    EXPECT_EQ(take(plover_event_get_distinct_id(event)), "person");

    struct Refused {
        const char* name;
        plover_status status;
    };
    const Refused refused[] = {
        {"name not UTF-8", plover_event_set_event(event, "\xff")},
        {"name missing", plover_event_set_event(event, nullptr)},
        {"properties not JSON", plover_event_set_properties(event, "{")},
        {"properties an array", plover_event_set_properties(event, "[]")},
        {"uuid not a UUID", plover_event_set_uuid(event, "1234")},
        {"timestamp not finite", plover_event_set_timestamp(event, INFINITY)},
        {"timestamp out of range", plover_event_set_timestamp(event, 1e300)},
        {"no event", plover_event_set_event(nullptr, "x")},
    };
    for (const auto& r : refused) EXPECT_EQ(r.status, PLOVER_INVALID_ARGUMENT) << r.name;
    EXPECT_EQ(native.event, "tapped");
    EXPECT_EQ(native.properties, (plover::Properties{{"a", 1}}));

    EXPECT_EQ(plover_event_set_properties(event, R"({"b":[1,"two"]})"), PLOVER_OK);
    EXPECT_EQ(take(plover_event_get_properties(event)), R"({"b":[1,"two"]})");
    EXPECT_EQ(plover_event_set_timestamp(event, 1700000000.25), PLOVER_OK);
    EXPECT_EQ(plover_event_get_timestamp(event), 1700000000.25);
    EXPECT_EQ(plover_event_set_uuid(event, "0190a3c4-5d6e-7f80-9a1b-2c3d4e5f6a7b"), PLOVER_OK);
    EXPECT_EQ(take(plover_event_get_uuid(event)), "0190A3C4-5D6E-7F80-9A1B-2C3D4E5F6A7B");
    EXPECT_EQ(plover_event_set_distinct_id(event, "someone"), PLOVER_OK);
    EXPECT_EQ(native.distinctId, "someone");

    // Properties without a JSON form read as NULL rather than as something else.
    native.properties = {{"when", plover::Value(plover::Date{})}};
    EXPECT_EQ(plover_event_get_properties(event), nullptr);
}

void replaceWith(const char*, char replacement[PLOVER_UUID_STRING_SIZE], void* data) {
    std::strncpy(replacement, static_cast<const char*>(data), PLOVER_UUID_STRING_SIZE - 1);
}

void countCalls(void* data) { ++*static_cast<int*>(data); }

TEST(CInterfaceCallbacks, AnonymousIdReplacementMustBeAUuid) {
    auto config = newConfig();
    auto generated = plover::TimeBasedEpochGenerator::v7();
    static const char valid[] = "0190A3C4-5D6E-7F80-9A1B-2C3D4E5F6A7B";
    static const char invalid[] = "not-a-uuid";
    ASSERT_EQ(plover_config_set_get_anonymous_id(config.get(), replaceWith, const_cast<char*>(valid), nullptr),
              PLOVER_OK);
    EXPECT_EQ(config->config->getAnonymousId(generated).toString(), valid);
    ASSERT_EQ(plover_config_set_get_anonymous_id(config.get(), replaceWith, const_cast<char*>(invalid), nullptr),
              PLOVER_OK);
    EXPECT_EQ(config->config->getAnonymousId(generated), generated);
    ASSERT_EQ(plover_config_set_get_anonymous_id(config.get(), nullptr, nullptr, nullptr), PLOVER_OK);
    EXPECT_EQ(config->config->getAnonymousId(generated), generated);

    // A refused call still hands the user data back.
    int destroyed = 0;
    EXPECT_EQ(plover_config_set_get_anonymous_id(nullptr, replaceWith, &destroyed, countCalls), PLOVER_INVALID_ARGUMENT);
    EXPECT_EQ(destroyed, 1);
}

char* sanitizeTo(const char* properties, void* data) {
    EXPECT_STREQ(properties, R"({"kept":1,"secret":"x"})");
    const char* answer = static_cast<const char*>(data);
    if (!answer) return nullptr;
    auto* copy = static_cast<char*>(std::malloc(std::strlen(answer) + 1));
    std::strcpy(copy, answer);
    return copy;
}

TEST(CInterfaceCallbacks, SanitizerAnswersThatAreNotObjectsKeepTheProperties) {
    auto config = newConfig();
    const plover::Properties given{{"secret", "x"}, {"kept", 1}};
    struct Case {
        const char* answer;
        plover::Properties expected;
    };
    const Case cases[] = {
        {R"({"kept":1})", {{"kept", 1}}},
        {nullptr, given},
        {"[1]", given},
        {"{broken", given},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer ? c.answer : "NULL");
        ASSERT_EQ(plover_config_set_properties_sanitizer(config.get(), sanitizeTo, const_cast<char*>(c.answer), nullptr),
                  PLOVER_OK);
        ASSERT_TRUE(config->config->propertiesSanitizer);
        EXPECT_EQ(config->config->propertiesSanitizer->sanitize(given), c.expected);
    }
    ASSERT_EQ(plover_config_set_properties_sanitizer(config.get(), nullptr, nullptr, nullptr), PLOVER_OK);
    EXPECT_FALSE(config->config->propertiesSanitizer);
}

TEST(CInterfaceSdk, AnInstanceThatIsNotSetUpAnswersItsEmptyResults) {
    plover_sdk* shared = plover_sdk_shared();
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(take(plover_get_distinct_id(shared)), "");
    EXPECT_EQ(take(plover_get_anonymous_id(shared)), "");
    EXPECT_EQ(plover_get_session_id(shared), nullptr);
    EXPECT_EQ(plover_get_feature_flag(shared, "flag"), nullptr);
    EXPECT_FALSE(plover_is_feature_enabled(shared, "flag"));
    EXPECT_TRUE(plover_is_opt_out(shared));
    EXPECT_EQ(plover_capture(shared, "refused quietly", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), PLOVER_OK);

    // Without a flag store the callback never runs, but its user data is handed back.
    int called = 0;
    int destroyed = 0;
    plover_reload_feature_flags(shared, countCalls, &called, nullptr);
    plover_reload_feature_flags(shared, nullptr, &destroyed, countCalls);
    EXPECT_EQ(called, 0);
    EXPECT_EQ(destroyed, 1);
    plover_sdk_free(shared);

    // Freeing a handle of the shared instance leaves the instance itself.
    plover_sdk* again = plover_sdk_shared();
    EXPECT_EQ(again->sdk, plover::PloverSDK::shared());
    plover_sdk_free(again);
    EXPECT_STREQ(plover_did_receive_feature_flags_notification(), "PloverDidReceiveFeatureFlags");
}

TEST(CInterfaceSdk, ArgumentsAreCheckedBeforeTheInstanceSeesThem) {
    plover_sdk* shared = plover_sdk_shared();
    struct Case {
        const char* name;
        plover_status status;
    };
    const Case cases[] = {
        {"capture without a name", plover_capture(shared, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr)},
        {"capture with broken properties",
         plover_capture(shared, "e", nullptr, "{", nullptr, nullptr, nullptr, nullptr)},
        {"capture with a non-string group key",
         plover_capture(shared, "e", nullptr, nullptr, nullptr, nullptr, R"({"company":1})", nullptr)},
        {"capture with groups as an array", plover_capture(shared, "e", nullptr, nullptr, nullptr, nullptr, "[]", nullptr)},
        {"capture with a deep text",
         plover_capture(shared, "e", nullptr, (std::string(600, '[') + std::string(600, ']')).c_str(), nullptr, nullptr,
                        nullptr, nullptr)},
        {"identify without an id", plover_identify(shared, nullptr, nullptr, nullptr)},
        {"alias not UTF-8", plover_alias(shared, "\xed\xa0\x80")},  // an encoded surrogate
        {"screen with a number for properties", plover_screen(shared, "s", "3")},
        {"group without a key", plover_group(shared, "company", nullptr, nullptr)},
        {"register nothing", plover_register_properties(shared, nullptr)},
        {"unregister nothing", plover_unregister_properties(shared, nullptr)},
        {"flag properties broken", plover_set_person_properties_for_flags(shared, "{", true)},
        {"group flag properties without a type", plover_set_group_properties_for_flags(shared, nullptr, "{}", true)},
        {"setup without a configuration", plover_sdk_setup(shared, nullptr)},
        {"no instance", plover_alias(nullptr, "a")},
    };
    for (const auto& c : cases) EXPECT_EQ(c.status, PLOVER_INVALID_ARGUMENT) << c.name;
    double outOfRange = NAN;
    EXPECT_EQ(plover_capture(shared, "e", nullptr, nullptr, nullptr, nullptr, nullptr, &outOfRange),
              PLOVER_INVALID_ARGUMENT);
    EXPECT_EQ(plover_sdk_with(nullptr), nullptr);
    plover_sdk_free(shared);
}

}  // namespace
