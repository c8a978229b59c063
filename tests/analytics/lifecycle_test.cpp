#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <algorithm>
#include <fstream>

#include "analytics/config/plover_config.hpp"
#include "analytics/lifecycle/plover_app_life_cycle_integration.hpp"
#include "analytics/util/internal_plover_error.hpp"
#include "analytics_fixtures.hpp"

namespace {

using plover::Properties;

struct RecordingTarget : plover::PloverLifecycleTarget {
    plover::PloverConfig settings{"key"};
    std::vector<std::pair<std::string, Properties>> events;
    const plover::PloverConfig& config() const override { return settings; }
    void capture(const std::string& event, const Properties& properties) override { events.emplace_back(event, properties); }
};

struct LifecycleFixture : ::testing::Test {
    support::TemporaryFolder folder;
    platform::UserDefaults defaults{folder.path() / "defaults.json"};
    std::shared_ptr<plover::BaseApplicationLifecyclePublisher> publisher = plover::BaseApplicationLifecyclePublisher::create();
    plover::LifecycleProcessState state;
    std::shared_ptr<RecordingTarget> target = std::make_shared<RecordingTarget>();

    std::shared_ptr<plover::PloverAppLifeCycleIntegration> integration(plover::ApplicationInfo info) {
        return plover::PloverAppLifeCycleIntegration::create(std::move(info), defaults, publisher, state);
    }
    plover::ApplicationInfo app(std::optional<std::string> version, std::optional<std::string> build) {
        plover::ApplicationInfo info;
        info.version = std::move(version);
        info.build = std::move(build);
        return info;
    }
};

TEST_F(LifecycleFixture, SignalsGiveInstalledOpenedBackgroundedAndOpenedAgain) {
    auto lifecycle = integration(app("1.0", "41"));
    lifecycle->install(target);
    publisher->appDidBecomeActive();
    publisher->appDidBecomeActive();  // already in the foreground
    publisher->appDidEnterBackground();
    publisher->appDidEnterBackground();
    publisher->appDidBecomeActive();
    publisher->appDidFinishLaunching();  // the check runs once per process
    std::vector<std::pair<std::string, Properties>> expected{
        {"Application Installed", {{"version", "1.0"}, {"build", "41"}}},
        {"Application Opened", {{"from_background", false}, {"version", "1.0"}, {"build", "41"}}},
        {"Application Backgrounded", {}},
        {"Application Opened", {{"from_background", true}}},
    };
    EXPECT_EQ(target->events, expected);
    EXPECT_EQ(defaults.string("PLVVersionKey"), "1.0");
    EXPECT_EQ(defaults.string("PLVBuildKeyV2"), "41");

    // A second integration cannot be installed until the first is uninstalled.
    auto second = integration(app("1.0", "41"));
    try {
        second->install(target);
        ADD_FAILURE() << "installed twice";
    } catch (const plover::InternalPloverError& error) {
        EXPECT_EQ(std::string(error.what()).rfind(
                      "App life cycle integration already installed to another PloverSDK instance. (Plover/", 0),
                  0u);
    }
    lifecycle->uninstall(target);
    publisher->appDidEnterBackground();
    EXPECT_EQ(target->events.size(), 4u);
    second->install(target);
}

TEST_F(LifecycleFixture, UpdatesCompareTheStoredBuildAndVersionStandsInForAMissingBuild) {
    struct Case {
        const char* name;
        std::optional<std::string> storedVersion, storedBuild, version, build;
        std::optional<std::pair<std::string, Properties>> event;
    };
    const Case cases[] = {
        {"updated", "1.0", "41", "1.1", "42",
         std::pair<std::string, Properties>{"Application Updated", {{"previous_version", "1.0"}, {"previous_build", "41"}, {"version", "1.1"}, {"build", "42"}}}},
        {"same build", "0.9", "41", "1.0", "41", std::nullopt},
        {"no stored version", std::nullopt, "41", "1.1", "42",
         std::pair<std::string, Properties>{"Application Updated", {{"previous_build", "41"}, {"version", "1.1"}, {"build", "42"}}}},
        // Without a build number the version is the build: the next launch is no update.
        {"no build", "2.0", "2.0", "2.0", std::nullopt, std::nullopt},
        {"no build, new version", "2.0", "2.0", "2.1", std::nullopt,
         std::pair<std::string, Properties>{"Application Updated", {{"previous_version", "2.0"}, {"previous_build", "2.0"}, {"version", "2.1"}, {"build", "2.1"}}}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        plover::LifecycleProcessState fresh;
        support::TemporaryFolder place;
        platform::UserDefaults store(place.path() / "defaults.json");
        if (c.storedVersion) store.set("PLVVersionKey", *c.storedVersion);
        if (c.storedBuild) store.set("PLVBuildKeyV2", *c.storedBuild);
        auto target = std::make_shared<RecordingTarget>();
        auto lifecycle = plover::PloverAppLifeCycleIntegration::create(app(c.version, c.build), store, publisher, fresh);
        lifecycle->install(target);
        if (c.event) {
            ASSERT_EQ(target->events.size(), 1u);
            EXPECT_EQ(target->events[0], *c.event);
            EXPECT_EQ(store.string("PLVBuildKeyV2"), c.build ? c.build : c.version);
        } else {
            EXPECT_TRUE(target->events.empty());
            EXPECT_EQ(store.string("PLVVersionKey"), c.storedVersion);
        }
        lifecycle->uninstall(target);
    }
}

TEST_F(LifecycleFixture, AnInstallationIsSentOncePerUserDefaultsAndAnUpdateOncePerNewKnownBuild) {
    // Each start is a new process: its own once-per-process state, the same user defaults.
    auto start = [&](std::optional<std::string> version, std::optional<std::string> build) {
        plover::LifecycleProcessState process;
        auto started = std::make_shared<RecordingTarget>();
        auto lifecycle = plover::PloverAppLifeCycleIntegration::create(app(std::move(version), std::move(build)),
                                                                      defaults, publisher, process);
        lifecycle->install(started);
        lifecycle->uninstall(started);
        return started->events;
    };
    std::vector<std::pair<std::string, Properties>> all;
    for (int i = 0; i < 5; ++i) {
        for (auto& event : start(std::nullopt, std::nullopt)) all.push_back(event);
    }
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0], (std::pair<std::string, Properties>{"Application Installed", {}}));

    // The build becoming known is no update; a new build is one, once.
    EXPECT_TRUE(start("1.0", "41").empty());
    EXPECT_TRUE(start("1.0", "41").empty());
    EXPECT_TRUE(start(std::nullopt, std::nullopt).empty());
    auto updated = start("1.1", "42");
    ASSERT_EQ(updated.size(), 1u);
    EXPECT_EQ(updated[0], (std::pair<std::string, Properties>{
                              "Application Updated",
                              {{"previous_version", "1.0"}, {"previous_build", "41"}, {"version", "1.1"}, {"build", "42"}}}));
    EXPECT_TRUE(start("1.1", "42").empty());
}

TEST_F(LifecycleFixture, AFailedDefaultsWriteIsReportedAndTheIntegrationStaysUsable) {
    // User defaults whose file can never be written: its folder is a file.
    support::TemporaryFolder place;
    std::ofstream(place.path() / "not a folder") << "x";
    platform::UserDefaults broken(place.path() / "not a folder" / "defaults.json");
    std::vector<std::string> printed;
    platform::ScopedPrintSink sink([&](std::string_view line) { printed.emplace_back(line); });

    auto lifecycle = plover::PloverAppLifeCycleIntegration::create(app("1.0", "41"), broken, publisher, state);
    EXPECT_NO_THROW(lifecycle->install(target));
    ASSERT_EQ(target->events.size(), 1u);
    EXPECT_EQ(target->events[0].first, "Application Installed");
    EXPECT_NE(std::find_if(printed.begin(), printed.end(),
                           [](auto& line) { return line.rfind("[Plover] Could not keep PLV", 0) == 0; }),
              printed.end());
    publisher->appDidBecomeActive();
    EXPECT_EQ(target->events.back().first, "Application Opened");
    lifecycle->uninstall(target);
    // The process's one integration slot is free for the next.
    EXPECT_NO_THROW(integration(app("1.0", "41"))->install(target));
}

TEST_F(LifecycleFixture, SwitchedOffCaptureMovesTheStateButSendsNothing) {
    target->settings.captureApplicationLifecycleEvents = false;
    analytics_test::LogCapture log;
    auto lifecycle = integration(app("1.0", "1"));
    lifecycle->install(target);
    publisher->appDidBecomeActive();
    publisher->appDidEnterBackground();
    EXPECT_TRUE(target->events.empty());
    EXPECT_EQ(log.lines().size(), 3u);
    EXPECT_FALSE(defaults.contains("PLVBuildKeyV2"));
    target->settings.captureApplicationLifecycleEvents = true;
    publisher->appDidBecomeActive();
    ASSERT_EQ(target->events.size(), 1u);
    EXPECT_EQ(target->events[0].second.at("from_background"), plover::Value(false));
}

TEST_F(LifecycleFixture, CallbacksRunOnTheMainExecutorAndTokensUnregister) {
    boost::asio::io_context main;
    publisher->setMainExecutor(main.get_executor());
    int calls = 0;
    std::unique_ptr<plover::RegistrationToken> inner;
    auto token = publisher->onDidBecomeActive([&] {
        ++calls;
        if (!inner) inner = publisher->onDidBecomeActive([&] { calls += 100; });
    });
    publisher->appDidBecomeActive();
    EXPECT_EQ(calls, 0);
    main.run();
    EXPECT_EQ(calls, 1) << "a callback added during a dispatch is not called by it";
    main.restart();
    token.reset();
    publisher->appDidBecomeActive();
    main.run();
    EXPECT_EQ(calls, 101);

    auto orphan = publisher->onDidEnterBackground([] {});
    publisher.reset();
    orphan.reset();  // the publisher is gone: nothing happens
    EXPECT_EQ(plover::DI::main().appLifecyclePublisher(), plover::DI::main().appLifecyclePublisher());
}

}  // namespace
