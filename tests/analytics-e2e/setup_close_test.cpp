// Setting the client up, closing it and setting it up again; the opt-out across a restart; one
// live instance per API key; the exact texts of every refusal.

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "e2e_fixture.hpp"

namespace {

using namespace analytics_e2e;
using Key = plover::PloverStorage::StorageKey;

TEST_F(EndToEnd, SetupCloseAndSetupAgainOnOneInstanceSendEachTimeAndKeepTheStoredIdentity) {
    auto sdk = PloverSDK::create(config(), environment());
    EXPECT_FALSE(sdk->isEnabled());
    sdk->setup(config());
    ASSERT_TRUE(sdk->isEnabled());
    auto anonymous = sdk->getAnonymousId();
    sdk->capture("before close");
    EXPECT_EQ(text(waitForEvent(*sdk, "before close").at("distinct_id")), anonymous);

    sdk->close();
    EXPECT_FALSE(sdk->isEnabled());
    EXPECT_EQ(sdk->config()->apiKey(), "");
    plover::setDebugLogging(true);
    log.clear();
    sdk->capture("while closed");
    EXPECT_EQ(sdk->getDistinctId(), "");
    EXPECT_EQ(sdk->getSessionId(), std::nullopt);
    EXPECT_EQ(logged(notSetUpLine), 3u);

    // The key is free again for any instance.
    auto other = setUp();
    EXPECT_TRUE(other->isEnabled());
    other->close();

    sdk->setup(config());
    ASSERT_TRUE(sdk->isEnabled());
    EXPECT_EQ(sdk->getAnonymousId(), anonymous);
    EXPECT_TRUE(sdk->getSessionId().has_value());
    sdk->capture("after setup again");
    EXPECT_EQ(text(waitForEvent(*sdk, "after setup again").at("distinct_id")), anonymous);
    drain(*sdk);
    EXPECT_TRUE(eventsNamed("while closed").empty());
    sdk->close();

    // A configuration that was set up and closed before may be handed in again.
    auto reused = config();
    sdk->setup(reused);
    sdk->close();
    sdk->setup(reused);
    ASSERT_TRUE(sdk->isEnabled());
    EXPECT_EQ(sdk->getAnonymousId(), anonymous);
    sdk->capture("with a reused configuration");
    EXPECT_FALSE(waitForEvent(*sdk, "with a reused configuration").empty());
    sdk->close();
}

TEST_F(EndToEnd, TheDebugSwitchOfASetUpInstanceSilencesAndRestoresTheLog) {
    auto sdk = setUp();
    sdk->optOut();
    sdk->debug(false);
    EXPECT_FALSE(plover::isDebugLogging());
    log.clear();
    sdk->capture("quiet");
    EXPECT_TRUE(log.lines().empty());
    sdk->debug(true);
    sdk->capture("loud");
    EXPECT_EQ(logged(optOutLine), 1u);
    // A refused second setup still sets the switch, from its own configuration.
    auto quiet = config();
    quiet->debug = false;
    log.clear();
    sdk->setup(quiet);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_FALSE(plover::isDebugLogging());
    EXPECT_TRUE(sdk->isEnabled());
    sdk->debug(true);
    sdk->close();
    // Close switches the log off for the whole process.
    EXPECT_FALSE(plover::isDebugLogging());
}

TEST_F(EndToEnd, EventsLeftInTheQueueByCloseAreSentAfterTheNextSetup) {
    // A redirect is no answer to an upload: the batch stays on disk.
    server.setReply("/batch", support::ScriptedReply::json(301, "{}"));
    auto sdk = setUp();
    sdk->capture("waiting on disk");
    ASSERT_TRUE(support::eventually([&] { return !server.requestsTo("/batch").empty(); }));
    sdk->close();
    server.setReply("/batch", support::ScriptedReply::json(200, "{}"));

    auto restarted = setUp();
    restarted->capture("after restart");
    ASSERT_FALSE(waitForEvent(*restarted, "after restart").empty());
    drain(*restarted);
    // One upload of it was turned away, then it went again after the restart.
    EXPECT_EQ(eventsNamed("waiting on disk").size(), 2u);
}

TEST_F(EndToEnd, PloverDidStartIsPostedOnTheMainExecutorOncePerSuccessfulSetup) {
    std::atomic<int> posted{0};
    std::atomic<int> offMain{0};
    auto token = center.addObserver(std::string(PloverSDK::didStartNotification), [&](const platform::Notification&) {
        if (!runtime.onMainThread()) ++offMain;
        ++posted;
    });
    auto sdk = setUp();
    ASSERT_TRUE(support::eventually([&] { return posted.load() == 1; }));
    sdk->setup(config());  // refused: already set up
    EXPECT_EQ(logged("[Plover] Setup called despite already being setup!"), 1u);
    sdk->close();
    sdk->setup(config());
    ASSERT_TRUE(support::eventually([&] { return posted.load() == 2; }));
    // Whatever else was queued on the main executor has run by now.
    runtime.run([]() -> boost::asio::awaitable<void> { co_return; });
    EXPECT_EQ(posted.load(), 2);
    EXPECT_EQ(offMain.load(), 0);
    sdk->close();
}

TEST_F(EndToEnd, TheOptOutSurvivesARestartOnTheSameStorageFolder) {
    auto first = setUp();
    first->optOut();
    EXPECT_TRUE(first->isOptOut());
    log.clear();
    first->capture("while opted out");
    first->screen("Hidden");
    EXPECT_EQ(logged(optOutLine), 2u);
    EXPECT_EQ(storage().getBool(Key::optOut), true);
    first->close();

    // The configuration of the next start says nothing about opting out: the stored state wins.
    auto settings = config();
    settings->optOut = false;
    auto second = setUp(settings);
    EXPECT_TRUE(second->isOptOut());
    log.clear();
    second->capture("after restart");
    EXPECT_EQ(logged(optOutLine), 1u);

    second->optIn();
    EXPECT_FALSE(second->isOptOut());
    EXPECT_EQ(storage().getBool(Key::optOut), false);
    second->capture("opted in again");
    waitForEvent(*second, "opted in again");
    drain(*second);
    EXPECT_TRUE(eventsNamed("while opted out").empty());
    EXPECT_TRUE(eventsNamed("$screen").empty());
    EXPECT_TRUE(eventsNamed("after restart").empty());
    second->close();
}

TEST_F(EndToEnd, ResetKeepsTheStoredOptOutSoTheUserStaysOptedOutAfterARestart) {
    auto sdk = setUp();
    sdk->identify("user-3");
    sdk->registerProperties({{"plan_tier", "pro"}});
    sdk->optOut();
    sdk->reset();
    EXPECT_TRUE(sdk->isOptOut());
    EXPECT_EQ(storage().getBool(Key::optOut), true);
    // The rest of the user is forgotten.
    EXPECT_NE(sdk->getDistinctId(), "user-3");
    EXPECT_FALSE(storage().getData(Key::registerProperties).has_value());
    sdk->close();

    auto restarted = setUp();
    EXPECT_TRUE(restarted->isOptOut());
    log.clear();
    restarted->capture("after reset and restart");
    EXPECT_EQ(logged(optOutLine), 1u);
    restarted->optIn();
    drain(*restarted);
    EXPECT_TRUE(eventsNamed("after reset and restart").empty());
    restarted->close();
}

TEST_F(EndToEnd, ASecondLiveInstanceOfAnApiKeyIsRefusedAndSendsNothing) {
    auto first = setUp();
    log.clear();
    auto second = setUp();
    EXPECT_EQ(logged("[Plover] API Key: " + apiKey + " already has a Plover instance."), 1u);
    EXPECT_TRUE(first->isEnabled());
    EXPECT_FALSE(second->isEnabled());
    log.clear();
    second->capture("from the second");
    EXPECT_EQ(logged(notSetUpLine), 1u);
    first->capture("from the first");
    waitForEvent(*first, "from the first");
    drain(*first);
    EXPECT_TRUE(eventsNamed("from the second").empty());

    // Once the first is closed the second may take the key.
    first->close();
    second->setup(config());
    ASSERT_TRUE(second->isEnabled());
    second->capture("second after the first closed");
    ASSERT_FALSE(waitForEvent(*second, "second after the first closed").empty());
    second->close();
}

// Each refusal in the debug log, word for word.
TEST_F(EndToEnd, EveryGateTextIsExact) {
    struct Row {
        std::string name;
        std::function<std::vector<std::shared_ptr<PloverSDK>>(EndToEnd&)> act;
        std::string line;
        std::size_t times;
        bool prefixOnly = false;
    };
    const std::string notSetUp(notSetUpLine);
    const std::string optedOut(optOutLine);
    const std::vector<Row> rows = {
        {"not set up: every kind of operation",
         [](EndToEnd& t) -> std::vector<std::shared_ptr<PloverSDK>> {
             auto sdk = PloverSDK::create(t.config(), t.environment());
             sdk->capture("x");
             sdk->identify("someone", std::nullopt, std::nullopt);
             sdk->alias("alias");
             sdk->screen("screen");
             sdk->group("company", "acme");
             sdk->flush();
             sdk->reset();
             sdk->registerProperties({{"a", 1}});
             sdk->getFeatureFlag("beta");
             sdk->reloadFeatureFlags();
             sdk->optOut();
             EXPECT_TRUE(sdk->isOptOut());
             sdk->debug(true);
             sdk->close();
             return {};
         },
         notSetUp, 14},
        {"opted out: every event operation",
         [](EndToEnd& t) -> std::vector<std::shared_ptr<PloverSDK>> {
             auto sdk = t.setUp();
             sdk->optOut();
             t.log.clear();
             sdk->capture("x");
             sdk->identify("someone");
             sdk->alias("alias");
             sdk->screen("screen");
             sdk->group("company", "acme");
             return {sdk};
         },
         optedOut, 5},
        {"set up twice",
         [](EndToEnd& t) -> std::vector<std::shared_ptr<PloverSDK>> {
             auto sdk = t.setUp();
             sdk->setup(t.config());
             return {sdk};
         },
         "[Plover] Setup called despite already being setup!", 1},
        {"a key already in use",
         [](EndToEnd& t) -> std::vector<std::shared_ptr<PloverSDK>> {
             auto first = t.setUp();
             auto second = t.setUp();
             return {first, second};
         },
         "[Plover] API Key: {key} already has a Plover instance.", 1},
        {"person profiles never",
         [](EndToEnd& t) -> std::vector<std::shared_ptr<PloverSDK>> {
             auto settings = t.config();
             settings->personProfiles = plover::PloverPersonProfiles::never;
             auto sdk = t.setUp(settings);
             sdk->identify("someone");
             sdk->alias("alias");
             sdk->group("company", "acme");
             sdk->capture("x", Properties{}, Properties{{"email", "a@b"}});
             return {sdk};
         },
         "[Plover] personProfiles is set to `never`. This call will be ignored.", 4},
        {"identify with an empty id",
         [](EndToEnd& t) -> std::vector<std::shared_ptr<PloverSDK>> {
             auto sdk = t.setUp();
             sdk->identify("");
             return {sdk};
         },
         "[Plover] identify call not allowed, distinctId is invalid: ", 1},
        {"identify after identifying",
         [](EndToEnd& t) -> std::vector<std::shared_ptr<PloverSDK>> {
             auto sdk = t.setUp();
             sdk->identify("first-id");
             sdk->identify("second-id");
             sdk->identify("first-id");
             return {sdk};
         },
         "[Plover] already identified with id: first-id", 2},
        {"a dropped event of the application",
         [](EndToEnd& t) -> std::vector<std::shared_ptr<PloverSDK>> {
             auto settings = t.config();
             settings->setBeforeSend([](plover::PloverEvent) { return std::optional<plover::PloverEvent>(); });
             auto sdk = t.setUp(settings);
             sdk->capture("Checkout");
             return {sdk};
         },
         "[Plover] Plover event Checkout was dropped", 1},
        {"a dropped event of the client",
         [](EndToEnd& t) -> std::vector<std::shared_ptr<PloverSDK>> {
             auto settings = t.config();
             settings->setBeforeSend([](plover::PloverEvent) { return std::optional<plover::PloverEvent>(); });
             auto sdk = t.setUp(settings);
             sdk->screen("Home");
             return {sdk};
         },
         "[Plover] Plover event $screen was dropped. This can cause unexpected behavior.", 1},
        {"the lifecycle integration installed",
         [](EndToEnd& t) -> std::vector<std::shared_ptr<PloverSDK>> {
             auto settings = t.config();
             settings->captureApplicationLifecycleEvents = true;
             return {t.setUp(settings)};
         },
         "[Plover] Integration PloverAppLifeCycleIntegration installed", 1},
        {"the lifecycle integration removed by opting out",
         [](EndToEnd& t) -> std::vector<std::shared_ptr<PloverSDK>> {
             auto settings = t.config();
             settings->captureApplicationLifecycleEvents = true;
             auto sdk = t.setUp(settings);
             sdk->optOut();
             return {sdk};
         },
         "[Plover] Integration PloverAppLifeCycleIntegration uninstalled", 1},
        {"close: the log is off before the integrations go",
         [](EndToEnd& t) -> std::vector<std::shared_ptr<PloverSDK>> {
             auto settings = t.config();
             settings->captureApplicationLifecycleEvents = true;
             auto sdk = t.setUp(settings);
             sdk->close();
             EXPECT_TRUE(sdk->installedIntegrations().empty());
             return {sdk};
         },
         "[Plover] Integration PloverAppLifeCycleIntegration uninstalled", 0},
        {"the lifecycle integration owned by another instance",
         [](EndToEnd& t) -> std::vector<std::shared_ptr<PloverSDK>> {
             auto settings = t.config();
             settings->captureApplicationLifecycleEvents = true;
             auto first = t.setUp(settings);
             auto other = t.config("another-key");
             other->captureApplicationLifecycleEvents = true;
             auto second = t.setUp(other);
             EXPECT_TRUE(second->installedIntegrations().empty());
             return {first, second};
         },
         "[Plover] Integration PloverAppLifeCycleIntegration failed to install: ", 1, true},
    };
    // Each row on an API key of its own, so that what one stores does not reach the next.
    int index = 0;
    for (auto row : rows) {
        SCOPED_TRACE(row.name);
        apiKey = "gate-key-" + std::to_string(++index);
        server.setReply("/array/" + apiKey + "/config", support::ScriptedReply::json(200, "{}"));
        if (auto at = row.line.find("{key}"); at != std::string::npos) row.line.replace(at, 5, apiKey);
        plover::setDebugLogging(true);
        log.clear();
        auto instances = row.act(*this);
        auto lines = log.lines();
        std::size_t found = 0;
        for (auto& line : lines) {
            if (row.prefixOnly ? line.rfind(row.line, 0) == 0 && line.size() > row.line.size() : line == row.line) {
                ++found;
            }
        }
        std::string all;
        for (auto& line : lines) all += line + "\n";
        EXPECT_EQ(found, row.times) << "expected \"" << row.line << "\" in:\n" << all;
        for (auto& instance : instances) {
            if (instance->isEnabled()) instance->close();
        }
    }
}

TEST_F(EndToEnd, TheSharedInstanceSetsUpOnTheClientsOwnThreadsAndSends) {
    // The process environment keeps its folders under the data home, named after the program.
    ::setenv("XDG_DATA_HOME", folders.dataHome().c_str(), 1);
    auto sdk = PloverSDK::shared();
    ASSERT_EQ(sdk, PloverSDK::shared());
    EXPECT_FALSE(sdk->isEnabled());
    sdk->setup(config());
    ASSERT_TRUE(sdk->isEnabled());
    sdk->capture("from the shared instance");
    auto event = waitForEvent(*sdk, "from the shared instance");
    ASSERT_FALSE(event.empty());
    EXPECT_EQ(text(event.at("distinct_id")), sdk->getDistinctId());
    EXPECT_TRUE(std::filesystem::is_directory(folders.dataHome() / program_invocation_short_name / apiKey /
                                              "plover.queueFolder"));
    sdk->close();
    EXPECT_FALSE(PloverSDK::shared()->isEnabled());
}

}  // namespace
