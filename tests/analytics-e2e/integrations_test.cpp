// The events the client sends by itself once its integrations are installed, as the service
// receives them, and their silence while the user is opted out.

#include "analytics/lifecycle/application_lifecycle_publisher.hpp"
#include "analytics/screen/plover_view_modifier.hpp"
#include "analytics/screen/screen_view_publisher.hpp"
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

struct ScreenViews : EndToEnd {
    std::shared_ptr<plover::ApplicationScreenViewPublisher> screens = plover::ApplicationScreenViewPublisher::shared();

    std::shared_ptr<PloverSDK> setUpWithScreenViews(const std::string& key = {}) {
        auto settings = config(key);
        settings->captureScreenViews = true;
        return setUp(settings);
    }
};

namespace app {
struct ContentView {
    virtual ~ContentView() = default;
};
}  // namespace app

TEST_F(ScreenViews, AReportedScreenArrivesAsAScreenEventUntilCaptureIsSwitchedOff) {
    auto sdk = setUpWithScreenViews();
    ASSERT_EQ(sdk->installedIntegrations().size(), 1u);
    screens->screenViewed("Settings");
    auto screen = waitForEvent(*sdk, "$screen");
    ASSERT_FALSE(screen.empty());
    EXPECT_EQ(screen.at("properties").at("$screen_name"), "Settings");

    sdk->config()->captureScreenViews = false;
    log.clear();
    screens->screenViewed("Hidden");
    EXPECT_EQ(logged("[Plover] Skipping $screen event - captureScreenViews is disabled in configuration"), 1u);
    drain(*sdk);
    EXPECT_EQ(eventsNamed("$screen").size(), 1u);
    sdk->close();
}

TEST_F(ScreenViews, BothIntegrationsInstallInOrderAndASecondInstanceGetsNeither) {
    auto settings = config();
    settings->captureScreenViews = true;
    settings->captureApplicationLifecycleEvents = true;
    auto first = setUp(settings);
    std::vector<std::string> installed = linesWith("installed");
    EXPECT_EQ(installed, (std::vector<std::string>{"[Plover] Integration PloverScreenViewIntegration installed",
                                                   "[Plover] Integration PloverAppLifeCycleIntegration installed"}));
    log.clear();
    auto other = config("another-key");
    other->captureScreenViews = true;
    other->captureApplicationLifecycleEvents = true;
    auto second = setUp(other);
    EXPECT_TRUE(second->installedIntegrations().empty());
    auto failed = linesWith("failed to install: ");
    ASSERT_EQ(failed.size(), 2u);
    EXPECT_EQ(failed[0].rfind("[Plover] Integration PloverScreenViewIntegration failed to install: "
                              "Autocapture integration already installed to another PloverSDK instance.",
                              0),
              0u)
        << failed[0];
    EXPECT_EQ(failed[1].rfind("[Plover] Integration PloverAppLifeCycleIntegration failed to install: ", 0), 0u)
        << failed[1];
    // Reported screens go to the owner only.
    screens->screenViewed("Owned");
    drain(*first);
    drain(*second);
    for (auto& body : uploads()) {
        for (auto& event : body.at("batch").as_array()) {
            if (event.at("event") == "$screen") {
                EXPECT_EQ(text(body.at("api_key")), apiKey);
            }
        }
    }
    EXPECT_EQ(eventsNamed("$screen").size(), 1u);
    second->close();
    first->close();
}

TEST_F(ScreenViews, WhileOptedOutReportedScreensAreNotCaptured) {
    auto sdk = setUpWithScreenViews();
    sdk->optOut();
    log.clear();
    screens->screenViewed("Private");
    EXPECT_EQ(logged(optOutLine), 0u);
    sdk->optIn();
    screens->screenViewed("Public");
    drain(*sdk);
    auto screenEvents = eventsNamed("$screen");
    ASSERT_EQ(screenEvents.size(), 1u);
    EXPECT_EQ(screenEvents[0].at("properties").at("$screen_name"), "Public");
    sdk->close();
}

TEST_F(ScreenViews, AViewThatAppearsSendsItsScreenOrItsOwnEvent) {
    auto sdk = setUp();  // the helper works without the integration
    app::ContentView view;
    auto named = plover::ploverScreenView(view, std::nullopt, Properties{{"tab", "general"}}, sdk);
    auto titled = plover::ploverScreenView(view, std::string("Preferences"), std::nullopt, sdk);
    auto seen = plover::ploverViewSeen("Help Opened", Properties{{"topic", "shortcuts"}}, sdk);
    named.onAppear();
    titled.onAppear();
    seen.onAppear();
    named.onAppear();
    drain(*sdk);
    auto screenEvents = eventsNamed("$screen");
    ASSERT_EQ(screenEvents.size(), 3u);
    EXPECT_EQ(screenEvents[0].at("properties").at("$screen_name"), "ContentView");
    EXPECT_EQ(screenEvents[0].at("properties").at("tab"), "general");
    EXPECT_EQ(screenEvents[1].at("properties").at("$screen_name"), "Preferences");
    EXPECT_EQ(screenEvents[2].at("properties").at("$screen_name"), "ContentView");
    auto help = eventsNamed("Help Opened");
    ASSERT_EQ(help.size(), 1u);
    EXPECT_EQ(help[0].at("properties").at("topic"), "shortcuts");
    sdk->close();
}

}  // namespace
