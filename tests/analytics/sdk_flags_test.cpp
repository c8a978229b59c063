#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "sdk_operations_fixture.hpp"

namespace {

using namespace std::chrono_literals;
using analytics_test::LogCapture;
using plover::Properties;
using plover::Value;
using Key = plover::PloverStorage::StorageKey;
namespace json = boost::json;

constexpr std::string_view notSetUp = plover::PloverSDK::notSetUpMessage;

struct SdkFlags : analytics_test::SdkOperationsFixture {
    // Flags as an earlier run left them on disk, read by the flag store on first use.
    void storeFlags(std::string_view enabled, std::string_view details = {}, std::string_view payloads = {},
                    std::optional<std::string> requestId = std::nullopt) {
        auto storage = storageOf();
        storage.setJson(Key::enabledFeatureFlags, Value(json::parse(enabled)));
        if (!details.empty()) storage.setJson(Key::flags, Value(json::parse(details)));
        if (!payloads.empty()) storage.setJson(Key::enabledFeatureFlagPayloads, Value(json::parse(payloads)));
        if (requestId) storage.setJson(Key::requestId, Value(*requestId));
    }
    std::vector<json::object> flagCalls() {
        std::vector<json::object> calls;
        for (auto& event : queued()) {
            if (event.at("event") == "$feature_flag_called") calls.push_back(propertiesOf(event));
        }
        return calls;
    }
    // Reloads through the public operation and waits until its completion has run.
    void reloadAndWait() {
        auto done = std::make_shared<std::promise<void>>();
        sdk->reloadFeatureFlags([done] { done->set_value(); });
        requests->answerAll(std::nullopt);
        ASSERT_EQ(done->get_future().wait_for(10s), std::future_status::ready);
    }
};

TEST_F(SdkFlags, AFlagIsReportedOncePerKeyUntilAPublicReloadHasCompleted) {
    storeFlags(R"({"a":true,"b":"variant"})");
    setUp();
    EXPECT_EQ(sdk->getFeatureFlag("a"), std::optional<json::value>(true));
    sdk->getFeatureFlag("a");
    EXPECT_EQ(sdk->getFeatureFlag("b"), std::optional<json::value>("variant"));
    ASSERT_EQ(flagCalls().size(), 2u);

    // Reloads the client starts by itself (here: identify's) do not make a flag new again.
    sdk->identify("user-1");
    requests->answerAll(std::nullopt);
    sdk->getFeatureFlag("a");
    EXPECT_EQ(flagCalls().size(), 2u);

    reloadAndWait();
    sdk->getFeatureFlag("a");
    auto calls = flagCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].at("$feature_flag"), "a");
    EXPECT_EQ(calls[1].at("$feature_flag"), "b");
    EXPECT_EQ(calls[1].at("$feature_flag_response"), "variant");
    EXPECT_EQ(calls[2].at("$feature_flag"), "a");
}

TEST_F(SdkFlags, TheReportCarriesTheDetailRecordsReasonAndMetadataWhenThereAreAny) {
    storeFlags(
        R"({"full":true,"partial":false,"bare":"v","old":true})",
        R"({"full":{"reason":{"description":"Matched condition set 1"},"metadata":{"id":7,"version":2}},
                   "partial":{"reason":{"code":"no_match"},"metadata":{"id":8}},
                   "bare":{"enabled":true}})",
        {}, "request-1");
    setUp();
    struct Case {
        const char* key;
        const char* expected;
    };
    const std::vector<Case> cases{
        {"full",
         R"({"$feature_flag":"full","$feature_flag_response":true,"$feature_flag_request_id":"request-1",
                     "$feature_flag_reason":"Matched condition set 1","$feature_flag_id":7,
                     "$feature_flag_version":2})"},
        {"partial", R"({"$feature_flag":"partial","$feature_flag_response":false,
                        "$feature_flag_request_id":"request-1","$feature_flag_reason":null,
                        "$feature_flag_id":8,"$feature_flag_version":null})"},
        {"bare",
         R"({"$feature_flag":"bare","$feature_flag_response":"v","$feature_flag_request_id":"request-1"})"},
        {"old",
         R"({"$feature_flag":"old","$feature_flag_response":true,"$feature_flag_request_id":"request-1"})"},
        {"missing", R"({"$feature_flag":"missing","$feature_flag_response":null,
                        "$feature_flag_request_id":"request-1"})"},
    };
    for (auto& each : cases) sdk->getFeatureFlag(each.key);
    auto calls = flagCalls();
    ASSERT_EQ(calls.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].key);
        auto expected = json::parse(cases[i].expected).as_object();
        for (auto& entry : expected) {
            ASSERT_TRUE(calls[i].contains(entry.key())) << entry.key();
            EXPECT_EQ(calls[i].at(entry.key()), entry.value()) << entry.key();
        }
        for (auto optional : {"$feature_flag_reason", "$feature_flag_id", "$feature_flag_version"}) {
            EXPECT_EQ(calls[i].contains(optional), expected.contains(optional)) << optional;
        }
        // It is an ordinary event: it carries the shared properties too.
        EXPECT_TRUE(calls[i].contains("$session_id"));
    }
}

TEST_F(SdkFlags, WithoutAnyFlagAnswerTheRequestIdIsEmptyAndAnUnknownFlagIsReportedAsNull) {
    setUp();
    EXPECT_EQ(sdk->getFeatureFlag("unknown"), std::nullopt);
    auto calls = flagCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].at("$feature_flag_response"), nullptr);
    EXPECT_EQ(calls[0].at("$feature_flag_request_id"), "");
}

TEST_F(SdkFlags, WithFlagEventsSwitchedOffReadsRecordNothingSoTheNextReadAfterwardsIsReported) {
    storeFlags(R"({"a":true})");
    auto settings = config();
    settings->sendFeatureFlagEvent = false;
    setUp(settings);
    sdk->getFeatureFlag("a");
    sdk->isFeatureEnabled("a");
    EXPECT_TRUE(flagCalls().empty());
    settings->sendFeatureFlagEvent = true;
    sdk->getFeatureFlag("a");
    EXPECT_EQ(flagCalls().size(), 1u);
}

TEST_F(SdkFlags, AFeatureIsEnabledForTrueAndForAnyVariant) {
    storeFlags(R"({"on":true,"off":false,"variant":"control","empty":"","number":1})");
    auto settings = config();
    settings->sendFeatureFlagEvent = false;
    setUp(settings);
    struct Case {
        const char* key;
        bool enabled;
    };
    for (auto [key, enabled] : std::vector<Case>{{"on", true},
                                                 {"off", false},
                                                 {"variant", true},
                                                 {"empty", true},
                                                 {"number", false},
                                                 {"absent", false}}) {
        EXPECT_EQ(sdk->isFeatureEnabled(key), enabled) << key;
    }
}

TEST_F(SdkFlags, AReadWhileOptedOutRecordsTheKeyWithoutSendingUntilTheNextPublicReload) {
    storeFlags(R"({"a":true})");
    setUp();
    sdk->optOut();
    EXPECT_EQ(sdk->getFeatureFlag("a"), std::optional<json::value>(true));
    sdk->optIn();
    sdk->getFeatureFlag("a");
    EXPECT_TRUE(flagCalls().empty());
    reloadAndWait();
    sdk->getFeatureFlag("a");
    EXPECT_EQ(flagCalls().size(), 1u);
}

TEST_F(SdkFlags, PayloadsAreReadParsedAndNeverReported) {
    storeFlags(R"({"a":true})", {}, R"({"a":"{\"color\":\"blue\"}","b":[1,2]})");
    setUp();
    EXPECT_EQ(sdk->getFeatureFlagPayload("a"),
              std::optional<json::value>(json::parse(R"({"color":"blue"})")));
    EXPECT_EQ(sdk->getFeatureFlagPayload("b"), std::optional<json::value>(json::parse("[1,2]")));
    EXPECT_EQ(sdk->getFeatureFlagPayload("c"), std::nullopt);
    EXPECT_TRUE(flagCalls().empty());
}

TEST_F(SdkFlags, PersonAndGroupPropertiesForFlagsAreMergedAndReloadOnlyWhenAskedAndNotEmpty) {
    auto settings = config();
    settings->personProfiles = plover::PloverPersonProfiles::always;
    setUp(settings);
    auto remoteConfig = sdk->remoteConfig();
    const int before = requests->sent();
    sdk->setPersonPropertiesForFlags(Properties{});
    sdk->setPersonPropertiesForFlags(Properties{{"bad", Value(plover::OpaqueObject{})}});
    EXPECT_EQ(requests->sent(), before);
    EXPECT_FALSE(storageOf().getJson(Key::personPropertiesForFlags).has_value());

    sdk->setPersonPropertiesForFlags(Properties{{"plan", "pro"}});
    EXPECT_EQ(requests->sent(), before + 1);
    sdk->setPersonPropertiesForFlags(Properties{{"plan", "team"}, {"seats", 3}}, false);
    EXPECT_EQ(requests->sent(), before + 1);
    EXPECT_EQ(remoteConfig->personPropertiesForFlags(), (Properties{{"plan", "team"}, {"seats", 3}}));
    sdk->resetPersonPropertiesForFlags();
    EXPECT_TRUE(remoteConfig->personPropertiesForFlags().empty());
    EXPECT_EQ(requests->sent(), before + 1);

    sdk->setGroupPropertiesForFlags("company", Properties{{"size", 10}});
    sdk->setGroupPropertiesForFlags("team", Properties{{"name", "core"}}, false);
    sdk->setGroupPropertiesForFlags("team", Properties{});
    EXPECT_EQ(requests->sent(), before + 2);
    using GroupProperties = plover::PloverRemoteConfig::GroupPropertiesForFlags;
    EXPECT_EQ(remoteConfig->groupPropertiesForFlags(),
              (GroupProperties{{"company", {{"size", 10}}}, {"team", {{"name", "core"}}}}));
    sdk->resetGroupPropertiesForFlags("company");
    EXPECT_EQ(remoteConfig->groupPropertiesForFlags(), (GroupProperties{{"team", {{"name", "core"}}}}));
    sdk->resetGroupPropertiesForFlags();
    EXPECT_TRUE(remoteConfig->groupPropertiesForFlags().empty());
    EXPECT_EQ(requests->sent(), before + 2);
}

TEST_F(SdkFlags, WithPersonProfilesNeverTheFlagPropertyOperationsDoNothingAndSayNothing) {
    auto settings = config();
    settings->personProfiles = plover::PloverPersonProfiles::never;
    setUp(settings);
    auto remoteConfig = sdk->remoteConfig();
    remoteConfig->setPersonPropertiesForFlags(Properties{{"kept", 1}});
    remoteConfig->setGroupPropertiesForFlags("kept", Properties{{"kept", 1}});
    const int before = requests->sent();
    LogCapture log;
    sdk->setPersonPropertiesForFlags(Properties{{"a", 1}});
    sdk->resetPersonPropertiesForFlags();
    sdk->setGroupPropertiesForFlags("company", Properties{{"a", 1}});
    sdk->resetGroupPropertiesForFlags();
    sdk->resetGroupPropertiesForFlags("kept");
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(requests->sent(), before);
    EXPECT_EQ(remoteConfig->personPropertiesForFlags(), (Properties{{"kept", 1}}));
    EXPECT_EQ(remoteConfig->groupPropertiesForFlags().size(), 1u);
}

TEST_F(SdkFlags, BeforeSetupFlagReadsAnswerNothingAndAReloadNeverCallsBack) {
    sdk = plover::PloverSDK::create(config(), environment());
    LogCapture log;
    bool called = false;
    EXPECT_EQ(sdk->getFeatureFlag("a"), std::nullopt);
    EXPECT_FALSE(sdk->isFeatureEnabled("a"));
    EXPECT_EQ(sdk->getFeatureFlagPayload("a"), std::nullopt);
    sdk->reloadFeatureFlags([&called] { called = true; });
    sdk->setPersonPropertiesForFlags(Properties{{"a", 1}});
    EXPECT_EQ(log.lines(), std::vector<std::string>(5, std::string(notSetUp)));
    EXPECT_EQ(requests->sent(), 0);
    EXPECT_FALSE(called);
    EXPECT_TRUE(queued().empty());
}

TEST_F(SdkFlags, AReloadCallbackStillRunsWhenItsInstanceIsGoneBeforeTheAnswer) {
    setUp();
    auto done = std::make_shared<std::promise<void>>();
    sdk->reloadFeatureFlags([done] { done->set_value(); });
    // The answer's handling needs the flag store alive; the instance itself may be gone.
    auto remoteConfig = sdk->remoteConfig();
    sdk->close();
    sdk.reset();
    requests->answerAll(std::nullopt);
    EXPECT_EQ(done->get_future().wait_for(10s), std::future_status::ready);
}

}  // namespace
