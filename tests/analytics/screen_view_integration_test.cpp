#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "analytics/screen/plover_screen_view_integration.hpp"
#include "analytics/screen/plover_view_modifier.hpp"
#include "analytics/sdk/plover_sdk.hpp"
#include "analytics/util/internal_plover_error.hpp"
#include "analytics_fixtures.hpp"
#include "support/test_runtime.hpp"

namespace {

using plover::PloverSDK;
using plover::Properties;

struct SeenEvent {
    std::string event;
    Properties properties;
};

// A set-up instance on private folders that uploads nothing; its before-send hook records every
// event that reaches the end of the capture road.
struct ScreenFixture : ::testing::Test {
    analytics_test::StorageFolders folders;
    // Outlives the runtime, whose main thread posts "PloverDidStart" to it after setup.
    platform::NotificationCenter center;
    support::TestRuntime runtime;
    std::shared_ptr<plover::BaseScreenViewPublisher> publisher = plover::BaseScreenViewPublisher::create();
    plover::ScreenViewProcessState state;
    std::mutex mutex;
    std::vector<SeenEvent> events;

    std::shared_ptr<plover::PloverConfig> makeConfig(std::string key = "screen-key") {
        auto config = analytics_test::makeConfig(std::move(key), "http://127.0.0.1:9");
        config->remoteConfig = false;
        config->preloadFeatureFlags = false;
        config->disableReachabilityForTesting = true;
        config->disableQueueTimerForTesting = true;
        config->flushAt = 1000;
        config->setBeforeSend([this](plover::PloverEvent event) -> std::optional<plover::PloverEvent> {
            std::lock_guard lock(mutex);
            events.push_back({event.event, event.properties});
            return event;
        });
        return config;
    }
    plover::PloverSDKEnvironment environment() {
        plover::PloverSDKEnvironment environment;
        environment.main = runtime.main();
        environment.background = runtime.shared();
        environment.http = std::make_shared<platform::HttpClient>();
        environment.notifications = &center;
        environment.storage = folders.environment();
        // The integrations under test are installed by hand.
        environment.makeIntegrations = [](const plover::PloverConfig&) { return plover::PloverIntegrations{}; };
        return environment;
    }
    std::shared_ptr<PloverSDK> setUp(std::shared_ptr<plover::PloverConfig> config) {
        return PloverSDK::with(std::move(config), environment());
    }
    std::shared_ptr<plover::PloverScreenViewIntegration> integration() {
        return plover::PloverScreenViewIntegration::create(publisher, state);
    }
    std::vector<SeenEvent> seen() {
        std::lock_guard lock(mutex);
        return events;
    }
};

TEST_F(ScreenFixture, OnlyOneInstanceOwnsTheIntegrationUntilItUninstalls) {
    auto a = PloverSDK::create(makeConfig("a"), environment());
    auto b = PloverSDK::create(makeConfig("b"), environment());
    auto forA = integration();
    auto forB = integration();
    forA->install(a);
    try {
        forB->install(b);
        FAIL() << "a second integration was installed";
    } catch (const plover::InternalPloverError& error) {
        EXPECT_EQ(std::string(error.what()).rfind(
                      "Autocapture integration already installed to another PloverSDK instance. "
                      "(Plover/plover_screen_view_integration.cpp:",
                      0),
                  0u)
            << error.what();
        EXPECT_EQ(std::string(error.what()).back(), ')');
    }

    // Another instance's uninstall leaves A's registration and the process flag alone.
    forA->uninstall(b);
    EXPECT_THROW(forB->install(b), plover::InternalPloverError);

    // B's integration never installed: its uninstall must not free the flag that A's holds.
    forB->uninstall(b);
    forB->uninstall(nullptr);
    EXPECT_TRUE(state.integrationInstalled);
    EXPECT_THROW(integration()->install(b), plover::InternalPloverError);

    forA->uninstall(a);
    EXPECT_NO_THROW(forB->install(b));
    forB->uninstall(b);
}

TEST_F(ScreenFixture, UninstallAfterTheInstanceIsGoneClearsTheFlag) {
    auto forA = integration();
    {
        auto a = PloverSDK::create(makeConfig("a"), environment());
        forA->install(a);
    }
    forA->uninstall(nullptr);  // what an instance's destruction does
    EXPECT_FALSE(state.integrationInstalled);
    EXPECT_NO_THROW(integration()->install(PloverSDK::create(makeConfig("b"), environment())));
}

TEST_F(ScreenFixture, AReportedScreenBecomesAScreenEvent) {
    auto sdk = setUp(makeConfig());
    ASSERT_TRUE(sdk->isEnabled());
    auto screens = integration();
    screens->install(sdk);
    publisher->screenViewed("Settings");

    auto events = seen();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].event, "$screen");
    EXPECT_EQ(events[0].properties.at("$screen_name"), plover::Value("Settings"));

    // Once uninstalled, its callback is no longer registered.
    screens->uninstall(sdk);
    publisher->screenViewed("Settings");
    EXPECT_EQ(seen().size(), 1u);
    sdk->close();
}

TEST_F(ScreenFixture, ScreenViewsSwitchedOffAfterInstallationSendNothingAndSaySo) {
    auto config = makeConfig();
    config->debug = true;
    auto sdk = setUp(config);
    auto screens = integration();
    screens->install(sdk);
    sdk->config()->captureScreenViews = false;
    analytics_test::LogCapture log;
    publisher->screenViewed("Settings");
    EXPECT_TRUE(seen().empty());
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"[Plover] Skipping $screen event - captureScreenViews is disabled in configuration"});
    screens->uninstall(sdk);
    sdk->close();
}

TEST_F(ScreenFixture, AReportAfterTheInstanceIsGoneDoesNothing) {
    auto screens = integration();
    {
        auto sdk = setUp(makeConfig());
        screens->install(sdk);
        sdk->close();
    }
    publisher->screenViewed("Gone");
    EXPECT_TRUE(seen().empty());
    screens->uninstall(nullptr);
}

TEST_F(ScreenFixture, SetupInstallsTheProcessIntegrationForOneInstanceAtATime) {
    auto environment = this->environment();
    environment.makeIntegrations = nullptr;  // what the configuration asks for
    auto configure = [&](std::string key) {
        auto config = makeConfig(std::move(key));
        config->captureApplicationLifecycleEvents = false;
        config->debug = true;
        return config;
    };
    analytics_test::LogCapture log;
    auto first = PloverSDK::with(configure("first"), environment);
    auto installed = first->installedIntegrations();
    ASSERT_EQ(installed.size(), 1u);
    EXPECT_EQ(installed[0]->typeName(), "PloverScreenViewIntegration");

    log.clear();
    auto second = PloverSDK::with(configure("second"), environment);
    EXPECT_TRUE(second->installedIntegrations().empty());
    auto lines = log.lines();
    const std::string refused =
        "[Plover] Integration PloverScreenViewIntegration failed to install: Autocapture integration already "
        "installed to another PloverSDK instance. (Plover/plover_screen_view_integration.cpp:";
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) { return line.rfind(refused, 0) == 0; }),
              1);

    // Screens reported to the process publisher reach the owner only; opting out stops them.
    auto publisher = std::dynamic_pointer_cast<plover::BaseScreenViewPublisher>(plover::DI::main().screenViewPublisher());
    ASSERT_TRUE(publisher);
    publisher->screenViewed("Inbox");
    ASSERT_EQ(seen().size(), 1u);
    first->optOut();
    publisher->screenViewed("Inbox");
    EXPECT_EQ(seen().size(), 1u);
    first->optIn();
    publisher->screenViewed("Inbox");
    EXPECT_EQ(seen().size(), 2u);

    // Once the owner closes, the other instance can take the integration over.
    first->close();
    second->optOut();
    second->optIn();
    ASSERT_EQ(second->installedIntegrations().size(), 1u);
    second->close();
}

namespace views {
struct ContentView {
    virtual ~ContentView() = default;
};
struct DetailView : ContentView {};
template <class T>
struct ListView {};
}  // namespace views

TEST(UnqualifiedTypeName, DropsNamespacesAndEnclosingScopes) {
    views::DetailView detail;
    const views::ContentView& asBase = detail;
    EXPECT_EQ(plover::unqualifiedTypeName(typeid(views::ContentView)), "ContentView");
    EXPECT_EQ(plover::unqualifiedTypeName(typeid(asBase)), "DetailView");  // the dynamic type
    EXPECT_EQ(plover::unqualifiedTypeName(typeid(views::ListView<views::ContentView>)),
              "ListView<(anonymous namespace)::views::ContentView>");
    EXPECT_EQ(plover::unqualifiedTypeName(typeid(int)), "int");
}

TEST_F(ScreenFixture, AViewSendsItsScreenOrEventEachTimeItAppears) {
    auto sdk = setUp(makeConfig());
    views::ContentView view;
    auto byType = plover::ploverScreenView(view, std::nullopt, std::nullopt, sdk);
    auto named = plover::ploverScreenView(view, "Home", Properties{{"tab", "first"}}, sdk);
    auto seenEvent = plover::ploverViewSeen("Banner Seen", Properties{{"size", 2}}, sdk);
    byType.onAppear();
    named.onAppear();
    seenEvent.onAppear();
    seenEvent.onAppear();

    auto events = seen();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[0].event, "$screen");
    EXPECT_EQ(events[0].properties.at("$screen_name"), plover::Value("ContentView"));
    EXPECT_EQ(events[1].properties.at("$screen_name"), plover::Value("Home"));
    EXPECT_EQ(events[1].properties.at("tab"), plover::Value("first"));
    EXPECT_EQ(events[2].event, "Banner Seen");
    EXPECT_EQ(events[2].properties.at("size"), plover::Value(2));
    EXPECT_EQ(events[3].event, "Banner Seen");
    sdk->close();
}

TEST_F(ScreenFixture, AViewWithoutAnInstanceUsesTheSharedOne) {
    // The shared instance is not set up here: its gate refuses the event and says so.
    analytics_test::LogCapture log;
    plover::ploverViewSeen("Banner Seen").onAppear();
    EXPECT_EQ(log.lines(), std::vector<std::string>{std::string(PloverSDK::notSetUpMessage)});
}

}  // namespace
