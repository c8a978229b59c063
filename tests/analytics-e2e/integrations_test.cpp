// The events the client sends by itself once its integrations are installed, as the service
// receives them, and their silence while the user is opted out.

#include "analytics/lifecycle/application_lifecycle_publisher.hpp"
#include "e2e_fixture.hpp"

namespace {

using namespace analytics_e2e;

struct Lifecycle : EndToEnd {
    std::shared_ptr<plover::ApplicationLifecyclePublisher> host = plover::ApplicationLifecyclePublisher::shared();

    std::shared_ptr<PloverSDK> setUpWithLifecycle() {
        auto settings = config();
        settings->captureApplicationLifecycleEvents = true;
        return setUp(settings);
    }
};

TEST_F(Lifecycle, TheApplicationsLaunchActivationAndBackgroundingArriveAsEvents) {
    auto sdk = setUpWithLifecycle();
    ASSERT_EQ(sdk->installedIntegrations().size(), 1u);
    host->appDidFinishLaunching();
    host->appDidBecomeActive();
    host->appDidEnterBackground();
    host->appDidBecomeActive();
    drain(*sdk);

    EXPECT_EQ(eventsNamed("Application Installed").size(), 1u);
    auto opened = eventsNamed("Application Opened");
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened[0].at("properties").at("from_background"), false);
    EXPECT_EQ(opened[1].at("properties").at("from_background"), true);
    EXPECT_EQ(eventsNamed("Application Backgrounded").size(), 1u);
    for (auto& event : opened) {
        EXPECT_EQ(text(event.at("distinct_id")), sdk->getDistinctId());
        EXPECT_TRUE(event.at("properties").as_object().contains("$session_id"));
    }
    sdk->close();
}

TEST_F(Lifecycle, WhileOptedOutTheIntegrationIsRemovedAndSendsNothingUntilOptingIn) {
    auto sdk = setUpWithLifecycle();
    sdk->optOut();
    EXPECT_TRUE(sdk->installedIntegrations().empty());
    log.clear();
    host->appDidBecomeActive();
    host->appDidEnterBackground();
    // Nothing even tries to capture.
    EXPECT_EQ(logged(optOutLine), 0u);

    sdk->optIn();
    ASSERT_EQ(sdk->installedIntegrations().size(), 1u);
    host->appDidBecomeActive();
    drain(*sdk);
    EXPECT_EQ(eventsNamed("Application Backgrounded").size(), 0u);
    auto opened = eventsNamed("Application Opened");
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].at("properties").at("from_background"), false);
    sdk->close();
}

TEST_F(Lifecycle, AnInstanceSetUpOptedOutInstallsNoIntegration) {
    auto settings = config();
    settings->captureApplicationLifecycleEvents = true;
    settings->optOut = true;
    auto sdk = setUp(settings);
    EXPECT_TRUE(sdk->isOptOut());
    EXPECT_TRUE(sdk->installedIntegrations().empty());
    EXPECT_TRUE(linesWith("Integration ").empty());
    sdk->close();
}

TEST_F(Lifecycle, CloseRemovesTheIntegrationSoAnotherInstanceCanTakeIt) {
    auto sdk = setUpWithLifecycle();
    sdk->close();
    EXPECT_TRUE(sdk->installedIntegrations().empty());
    auto settings = config("another-key");
    settings->captureApplicationLifecycleEvents = true;
    auto other = setUp(settings);
    EXPECT_EQ(other->installedIntegrations().size(), 1u);
    host->appDidBecomeActive();
    ASSERT_FALSE(waitForEvent(*other, "Application Opened").empty());
    other->close();
}

TEST_F(Lifecycle, AStoredOptOutKeepsTheIntegrationOffAtTheNextStart) {
    auto first = setUpWithLifecycle();
    first->optOut();
    first->close();
    log.clear();
    auto restarted = setUpWithLifecycle();
    EXPECT_TRUE(restarted->isOptOut());
    EXPECT_TRUE(restarted->installedIntegrations().empty());
    EXPECT_TRUE(linesWith("Integration ").empty());
    host->appDidBecomeActive();
    restarted->optIn();
    drain(*restarted);
    EXPECT_TRUE(eventsNamed("Application Opened").empty());
    restarted->close();
}

}  // namespace
