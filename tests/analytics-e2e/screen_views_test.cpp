// Screens reported to the screen-view integration and views that appear, as the service receives
// them.

#include "analytics/screen/plover_view_modifier.hpp"
#include "analytics/screen/screen_view_publisher.hpp"
#include "e2e_fixture.hpp"

namespace {

using namespace analytics_e2e;

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

