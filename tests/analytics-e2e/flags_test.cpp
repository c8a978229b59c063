// Feature flags as the service sees them: the requests for them, what they carry, and the
// "$feature_flag_called" report of each flag read.

#include <algorithm>
#include <map>
#include <set>
#include <thread>

#include "analytics/context/plover_context.hpp"
#include "e2e_fixture.hpp"

namespace {

using namespace analytics_e2e;

TEST_F(EndToEnd, SetupAsksForTheRemoteConfigurationAndThenTheFlags) {
    auto settings = config();
    settings->remoteConfig = true;
    settings->preloadFeatureFlags = true;
    auto sdk = setUp(settings);
    ASSERT_TRUE(support::eventually([&] { return !flagRequestBodies().empty(); }));
    auto requests = server.requests();
    auto configRequest = std::find_if(requests.begin(), requests.end(), [&](auto& request) {
        return request.path == "/array/" + apiKey + "/config";
    });
    auto flagRequest = std::find_if(requests.begin(), requests.end(),
                                    [](auto& request) { return request.path.rfind("/flags", 0) == 0; });
    ASSERT_NE(configRequest, requests.end());
    ASSERT_NE(flagRequest, requests.end());
    EXPECT_LT(configRequest, flagRequest);
    EXPECT_EQ(configRequest->method, "GET");
    EXPECT_EQ(flagRequest->method, "POST");
    EXPECT_EQ(flagRequest->path, "/flags?v=2&config=true");
    EXPECT_FALSE(flagRequest->header("Content-Encoding").has_value());
    auto body = json::parse(flagRequest->body).as_object();
    EXPECT_EQ(text(body.at("api_key")), apiKey);
    EXPECT_EQ(text(body.at("distinct_id")), sdk->getDistinctId());
    EXPECT_EQ(text(body.at("$anon_distinct_id")), sdk->getAnonymousId());
    EXPECT_EQ(body.at("$groups"), json::object());
    // The default person properties come from the device context.
    plover::PloverContext context(nullptr);
    auto defaults = context.defaultPersonProperties();
    ASSERT_TRUE(body.contains("person_properties"));
    for (auto& [key, value] : defaults) EXPECT_EQ(body.at("person_properties").at(key), value.toJson().value()) << key;

    // The answer is in use once it has been handled.
    ASSERT_TRUE(support::eventually([&] { return sdk->getFeatureFlagPayload("beta").has_value(); }));
    EXPECT_EQ(sdk->getFeatureFlagPayload("beta"), json::parse(R"({"limit": 5})"));
}

TEST_F(EndToEnd, EachFlagReadIsReportedOncePerKeyUntilAPublicReload) {
    auto sdk = setUp();
    loadFlags(*sdk);
    EXPECT_EQ(sdk->getFeatureFlag("beta"), json::value(true));
    EXPECT_EQ(sdk->getFeatureFlag("beta"), json::value(true));
    EXPECT_TRUE(sdk->isFeatureEnabled("beta"));
    EXPECT_TRUE(sdk->isFeatureEnabled("plan"));
    EXPECT_EQ(sdk->getFeatureFlag("plan"), json::value("gold"));
    EXPECT_FALSE(sdk->isFeatureEnabled("legacy"));
    EXPECT_EQ(sdk->getFeatureFlag("missing"), std::nullopt);
    EXPECT_FALSE(sdk->isFeatureEnabled("missing"));
    // Payloads are not reported.
    EXPECT_EQ(sdk->getFeatureFlagPayload("beta"), json::parse(R"({"limit": 5})"));
    drain(*sdk);

    std::map<std::string, json::object> reported;
    for (auto& event : eventsNamed("$feature_flag_called")) {
        auto& properties = event.at("properties").as_object();
        auto key = text(properties.at("$feature_flag"));
        EXPECT_FALSE(reported.count(key)) << key << " was reported twice";
        reported[key] = properties;
    }
    ASSERT_EQ(reported.size(), 4u);

    struct Expected {
        std::string key;
        json::value response;
        std::optional<json::value> reason, id, version;  // absent: the key is not sent at all
    };
    const std::vector<Expected> table = {
        {"beta", true, json::value("Matched condition set 1"), json::value(7), json::value(3)},
        {"plan", "gold", json::value(nullptr), json::value(8), json::value(nullptr)},
        {"legacy", false, std::nullopt, json::value(9), json::value(1)},
        {"missing", nullptr, std::nullopt, std::nullopt, std::nullopt},
    };
    for (auto& row : table) {
        SCOPED_TRACE(row.key);
        ASSERT_TRUE(reported.count(row.key));
        auto& properties = reported[row.key];
        EXPECT_EQ(properties.at("$feature_flag_response"), row.response);
        EXPECT_EQ(properties.at("$feature_flag_request_id"), "req-e2e-1");
        auto expectEntry = [&](std::string_view key, const std::optional<json::value>& value) {
            if (value) {
                ASSERT_TRUE(properties.contains(key)) << key;
                EXPECT_EQ(properties.at(key), *value) << key;
            } else {
                EXPECT_FALSE(properties.contains(key)) << key;
            }
        };
        expectEntry("$feature_flag_reason", row.reason);
        expectEntry("$feature_flag_id", row.id);
        expectEntry("$feature_flag_version", row.version);
    }

    // A public reload starts the count afresh; the reload identify makes by itself does not.
    sdk->identify("user-1");
    ASSERT_TRUE(support::eventually([&] {
        for (auto& body : flagRequestBodies()) {
            if (body.at("distinct_id") == "user-1") return true;
        }
        return false;
    }));
    sdk->getFeatureFlag("beta");
    drain(*sdk);
    EXPECT_EQ(eventsNamed("$feature_flag_called").size(), 4u);
    loadFlags(*sdk);
    sdk->getFeatureFlag("beta");
    sdk->getFeatureFlag("beta");
    drain(*sdk);
    EXPECT_EQ(eventsNamed("$feature_flag_called").size(), 5u);
}

TEST_F(EndToEnd, FlagReadsRacingOnManyThreadsAreReportedOncePerKey) {
    auto sdk = setUp();
    loadFlags(*sdk);
    std::vector<std::thread> readers;
    for (int i = 0; i < 8; ++i) {
        readers.emplace_back([&] {
            for (int round = 0; round < 50; ++round) {
                sdk->getFeatureFlag("beta");
                sdk->isFeatureEnabled("plan");
            }
        });
    }
    for (auto& reader : readers) reader.join();
    drain(*sdk);
    std::multiset<std::string> keys;
    for (auto& event : eventsNamed("$feature_flag_called")) keys.insert(text(event.at("properties").at("$feature_flag")));
    EXPECT_EQ(keys, (std::multiset<std::string>{"beta", "plan"}));
}

TEST_F(EndToEnd, WithFlagReportsSwitchedOffReadsSendNothing) {
    auto settings = config();
    settings->sendFeatureFlagEvent = false;
    auto sdk = setUp(settings);
    loadFlags(*sdk);
    EXPECT_TRUE(sdk->isFeatureEnabled("beta"));
    drain(*sdk);
    EXPECT_TRUE(eventsNamed("$feature_flag_called").empty());
}

TEST_F(EndToEnd, AFlagReadWhileOptedOutIsAnsweredAndRecordedButNeverSent) {
    auto sdk = setUp();
    loadFlags(*sdk);
    sdk->optOut();
    EXPECT_EQ(sdk->getFeatureFlag("beta"), json::value(true));
    sdk->optIn();
    // Recorded while opted out, so not reported now either.
    sdk->getFeatureFlag("beta");
    drain(*sdk);
    EXPECT_TRUE(eventsNamed("$feature_flag_called").empty());
    // Until the next public reload.
    loadFlags(*sdk);
    sdk->getFeatureFlag("beta");
    drain(*sdk);
    EXPECT_EQ(eventsNamed("$feature_flag_called").size(), 1u);
}

TEST_F(EndToEnd, FlagReportsCarryOnlyWhatTheLastAnswerGave) {
    struct Row {
        std::string name;
        std::optional<std::string> answer;  // none: no flags were ever loaded
        json::value response;
        std::string requestId;
    };
    const std::vector<Row> rows = {
        {"before any answer", std::nullopt, nullptr, ""},
        {"an answer in the older format",
         R"({"featureFlags": {"beta": "blue"}, "featureFlagPayloads": {}, "requestId": "req-old"})", "blue",
         "req-old"},
        {"an answer without a request id",
         R"({"flags": {"beta": {"enabled": true, "metadata": {"id": 1, "version": 2}}}})", true, ""},
    };
    int index = 0;
    for (auto& row : rows) {
        SCOPED_TRACE(row.name);
        apiKey = "flags-key-" + std::to_string(++index);
        if (row.answer) server.setReply("/flags", support::ScriptedReply::json(200, *row.answer));
        auto sdk = setUp();
        if (row.answer) loadFlags(*sdk);
        sdk->getFeatureFlag("beta");
        drain(*sdk);
        std::vector<json::object> reports;
        for (auto& body : uploads()) {
            if (text(body.at("api_key")) != apiKey) continue;
            for (auto& event : body.at("batch").as_array()) {
                if (event.at("event") == "$feature_flag_called") reports.push_back(event.at("properties").as_object());
            }
        }
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(reports[0].at("$feature_flag_response"), row.response);
        EXPECT_EQ(text(reports[0].at("$feature_flag_request_id")), row.requestId);
        bool detailed = row.answer && row.answer->find("\"flags\"") != std::string::npos;
        EXPECT_EQ(reports[0].contains("$feature_flag_id"), detailed);
        EXPECT_EQ(reports[0].contains("$feature_flag_version"), detailed);
        EXPECT_FALSE(reports[0].contains("$feature_flag_reason"));
        sdk->close();
    }
}

TEST_F(EndToEnd, FlagPropertiesTravelWithTheNextFlagRequestUntilReset) {
    auto sdk = setUp();
    // The new identity, the person properties and the group properties each ask for the flags.
    // The three requests are in flight together and may reach the service in any order.
    sdk->identify("user-5");  // person processing is on for an identified user
    sdk->setPersonPropertiesForFlags({{"plan", "enterprise"}});
    sdk->setGroupPropertiesForFlags("company", {{"seats", 40}});
    ASSERT_TRUE(support::eventually([&] { return flagRequestBodies().size() >= 3; }));
    auto sent = flagRequestBodies();
    ASSERT_EQ(sent.size(), 3u);
    auto withGroups = std::find_if(sent.begin(), sent.end(),
                                   [](auto& body) { return body.as_object().contains("group_properties"); });
    ASSERT_NE(withGroups, sent.end());
    EXPECT_EQ(withGroups->at("person_properties").at("plan"), "enterprise");
    EXPECT_EQ(withGroups->at("group_properties"), json::parse(R"({"company": {"seats": 40}})"));

    // Without a reload nothing is sent; the next reload carries the change.
    auto requestsBefore = flagRequestBodies().size();
    sdk->setPersonPropertiesForFlags({{"plan", "team"}}, false);
    sdk->resetGroupPropertiesForFlags("company");
    loadFlags(*sdk);
    auto bodies = flagRequestBodies();
    ASSERT_EQ(bodies.size(), requestsBefore + 1);
    EXPECT_EQ(bodies.back().at("person_properties").at("plan"), "team");
    EXPECT_FALSE(bodies.back().as_object().contains("group_properties"));

    sdk->resetPersonPropertiesForFlags();
    loadFlags(*sdk);
    EXPECT_FALSE(flagRequestBodies().back().at("person_properties").as_object().contains("plan"));
}

}  // namespace
