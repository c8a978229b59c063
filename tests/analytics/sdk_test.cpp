#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <atomic>
#include <future>
#include <thread>

#include "analytics/sdk/plover_sdk.hpp"
#include "analytics/session/plover_session_manager.hpp"
#include "analytics/storage/plover_storage_manager.hpp"
#include "analytics/util/internal_plover_error.hpp"
#include "analytics/util/time_based_epoch_generator.hpp"
#include "platform/defaults/user_defaults.hpp"
#include "analytics_fixtures.hpp"
#include "fake_flag_source.hpp"
#include "sdk_environment.hpp"
#include "support/ingestion_server.hpp"
#include "support/test_runtime.hpp"

namespace {

using namespace std::chrono_literals;
using analytics_test::LogCapture;
using analytics_test::StorageFolders;
using plover::PloverConfig;
using plover::PloverSDK;
using plover::Properties;
using plover::Value;
using Key = plover::PloverStorage::StorageKey;
namespace json = boost::json;

constexpr std::string_view notSetUp =
    "[Plover] Plover method was called without `setup` being complete. Call wil be ignored.";

// What the integrations of a test did, in order.
struct Journal {
    std::mutex mutex;
    std::vector<std::string> entries;
    void add(std::string entry) {
        std::lock_guard lock(mutex);
        entries.push_back(std::move(entry));
    }
    std::vector<std::string> take() {
        std::lock_guard lock(mutex);
        return std::exchange(entries, {});
    }
};

class RecordingIntegration : public plover::PloverIntegration {
public:
    using Hook = std::function<void(PloverSDK&)>;
    RecordingIntegration(std::string name, bool fails, std::shared_ptr<Journal> journal, Hook onInstall)
        : name_(std::move(name)), fails_(fails), journal_(std::move(journal)), onInstall_(std::move(onInstall)) {}
    void install(const std::shared_ptr<PloverSDK>& plover) override {
        journal_->add("install " + name_);
        if (fails_) throw plover::InternalPloverError("it broke");
        // Stands for an application callback reached while installing (a lifecycle event's
        // before-send function, say).
        if (onInstall_) onInstall_(*plover);
    }
    void uninstall(const std::shared_ptr<PloverSDK>&) override { journal_->add("uninstall " + name_); }
    std::string typeName() const override { return name_; }

private:
    std::string name_;
    bool fails_;
    std::shared_ptr<Journal> journal_;
    Hook onInstall_;
};

// Counts flag requests and never answers them.
class SilentFlagRequests : public plover::PloverRemoteConfigRequests {
public:
    void flags(const std::string&, const std::optional<std::string>&, const plover::PloverApi::Groups&,
               const Properties&, const std::optional<plover::PloverApi::GroupProperties>&,
               plover::PloverApi::ResponseCompletion) override {
        ++flagRequests;
    }
    void remoteConfig(plover::PloverApi::ResponseCompletion) override {}
    std::atomic<int> flagRequests{0};
};

struct SdkFixture : ::testing::Test {
    StorageFolders folders;
    // Outlives the runtime: "PloverDidStart" may still be on its way when a test ends.
    platform::NotificationCenter center;
    support::TestRuntime runtime;
    std::shared_ptr<platform::HttpClient> http = std::make_shared<platform::HttpClient>();
    std::shared_ptr<SilentFlagRequests> requests = std::make_shared<SilentFlagRequests>();
    std::shared_ptr<Journal> journal = std::make_shared<Journal>();
    // The integrations every setup makes: name and whether it fails to install.
    std::vector<std::pair<std::string, bool>> integrations{{"First", false}, {"Second", false}};
    // Called by the first integration's installation, once.
    RecordingIntegration::Hook onFirstInstall;
    std::string host = "http://127.0.0.1:9";

    // The lifecycle integration keeps the application's version in the standard user defaults:
    // they go to this test's folder, never to the user's own.
    void SetUp() override { ::setenv("XDG_CONFIG_HOME", (folders.folder.path() / "config").c_str(), 1); }
    ~SdkFixture() override { analytics_test::expectHttpClientReleased(http); }

    plover::PloverSDKEnvironment environment() {
        auto environment = analytics_test::offlineSdkEnvironment(runtime, http, folders, center, requests);
        environment.makeIntegrations = [this](const PloverConfig&) {
            plover::PloverIntegrations made;
            for (auto& [name, fails] : integrations) {
                made.push_back(std::make_shared<RecordingIntegration>(
                    name, fails, journal, made.empty() ? std::exchange(onFirstInstall, nullptr) : nullptr));
            }
            return made;
        };
        return environment;
    }
    std::shared_ptr<PloverConfig> config(std::string apiKey = "test-key") {
        auto config = analytics_test::makeConfig(std::move(apiKey), host);
        config->remoteConfig = false;
        config->preloadFeatureFlags = false;
        config->disableQueueTimerForTesting = true;
        config->disableReachabilityForTesting = true;
        return config;
    }
    std::shared_ptr<PloverSDK> setUp(std::shared_ptr<PloverConfig> settings) {
        return PloverSDK::with(std::move(settings), environment());
    }
    std::shared_ptr<PloverSDK> setUp() { return setUp(config()); }
    plover::PloverStorage storageOf(const std::string& apiKey = "test-key") {
        return plover::PloverStorage(*config(apiKey), folders.environment());
    }
    // The lines that mention `word` (session changes are logged too).
    static std::vector<std::string> linesWith(const LogCapture& log, std::string_view word) {
        std::vector<std::string> found;
        for (auto& line : log.lines()) {
            if (line.find(word) != std::string::npos) found.push_back(line);
        }
        return found;
    }
    static std::size_t count(const std::vector<std::string>& lines, std::string_view line) {
        return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
    }
};

TEST_F(SdkFixture, EveryOperationOfAnInstanceNotSetUpAnswersEmptyAndLogsTheGateLine) {
    auto sdk = PloverSDK::create(config(), environment());
    LogCapture log;
    EXPECT_EQ(sdk->getDistinctId(), "");
    EXPECT_EQ(sdk->getAnonymousId(), "");
    EXPECT_EQ(sdk->getSessionId(), std::nullopt);
    EXPECT_TRUE(sdk->isOptOut());
    sdk->flush();
    sdk->reset();
    sdk->registerProperties({{"a", 1}});
    sdk->unregisterProperties("a");
    sdk->startSession();
    sdk->endSession();
    sdk->optIn();
    sdk->optOut();
    sdk->close();
    sdk->debug(false);
    EXPECT_TRUE(plover::isDebugLogging());
    EXPECT_EQ(count(log.lines(), notSetUp), 14u);
    EXPECT_EQ(log.lines().size(), 14u);
    EXPECT_FALSE(std::filesystem::exists(folders.applicationFolder() / "test-key" / "plover.registerProperties"));
}

TEST_F(SdkFixture, TheSharedInstanceBeforeSetupPrintsNothingWhileDebugLoggingIsOff) {
    std::vector<std::string> printed;
    platform::ScopedPrintSink sink([&printed](std::string_view line) { printed.emplace_back(line); });
    auto shared = PloverSDK::shared();
    EXPECT_EQ(shared, PloverSDK::shared());
    EXPECT_FALSE(shared->isEnabled());
    EXPECT_EQ(shared->config()->apiKey(), "");
    shared->capture("event");
    shared->flush();
    EXPECT_EQ(shared->getDistinctId(), "");
    EXPECT_TRUE(printed.empty());
}

TEST_F(SdkFixture, SetupBuildsEveryCollaboratorStartsASessionAndAnnouncesItselfOnTheMainExecutor) {
    std::promise<bool> announced;
    auto observer = center.addObserver(std::string(PloverSDK::didStartNotification),
                                       [&](const platform::Notification&) { announced.set_value(runtime.onMainThread()); });
    auto settings = config();
    settings->debug = true;
    LogCapture log;
    auto sdk = setUp(settings);
    ASSERT_TRUE(sdk->isEnabled());
    EXPECT_EQ(sdk->config(), settings);
    EXPECT_TRUE(sdk->queue() && sdk->replayQueue() && sdk->storage() && sdk->remoteConfig() && sdk->context() &&
                sdk->reachability());
    EXPECT_EQ(sdk->storageManager(), settings->storageManager);
    EXPECT_EQ(sdk->storage()->appFolderUrl(), folders.applicationFolder() / "test-key");
    EXPECT_TRUE(sdk->getSessionId().has_value());
    EXPECT_FALSE(sdk->getAnonymousId().empty());
    EXPECT_EQ(sdk->getDistinctId(), sdk->getAnonymousId());
    auto future = announced.get_future();
    ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(future.get());
    EXPECT_EQ(journal->take(), (std::vector<std::string>{"install First", "install Second"}));
    EXPECT_EQ(linesWith(log, "Integration"), (std::vector<std::string>{"[Plover] Integration First installed",
                                                         "[Plover] Integration Second installed"}));
}

TEST_F(SdkFixture, AnEnvironmentWithoutExecutorsOrHttpClientRunsOnTheClientsOwnThreads) {
    plover::PloverSDKEnvironment bare;
    bare.storage = folders.environment();
    bare.notifications = nullptr;
    bare.makeIntegrations = environment().makeIntegrations;
    std::promise<void> announced;
    auto observer = platform::NotificationCenter::defaultCenter().addObserver(
        std::string(PloverSDK::didStartNotification), [&](const platform::Notification&) { announced.set_value(); });
    auto sdk = PloverSDK::with(config(), bare);
    ASSERT_TRUE(sdk->isEnabled());
    EXPECT_TRUE(sdk->queue() && sdk->replayQueue() && sdk->remoteConfig());
    sdk->flush();
    EXPECT_EQ(announced.get_future().wait_for(10s), std::future_status::ready);
    sdk->close();
}

TEST_F(SdkFixture, AnInjectedIdentityStoreIsKept) {
    auto settings = config();
    auto injected = std::make_shared<plover::PloverStorageManager>(*settings, folders.environment());
    injected->setDistinctId("person-7");
    settings->storageManager = injected;
    auto sdk = setUp(settings);
    EXPECT_EQ(sdk->storageManager(), injected);
    EXPECT_EQ(sdk->getDistinctId(), "person-7");
}

TEST_F(SdkFixture, ASecondSetupIsRefusedButSetsTheDebugSwitch) {
    auto sdk = setUp();
    auto queue = sdk->queue();
    LogCapture log;
    auto loud = config();
    loud->debug = true;
    sdk->setup(loud);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"[Plover] Setup called despite already being setup!"});
    EXPECT_EQ(sdk->queue(), queue);
    EXPECT_NE(sdk->config(), loud);
    log.clear();
    sdk->setup(config());  // debug off: refused silently, and the switch is now off for everyone
    EXPECT_FALSE(plover::isDebugLogging());
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(journal->take().size(), 2u);  // installed once only
}

TEST_F(SdkFixture, ASecondLiveInstanceOfOneApiKeyIsRefusedUntilTheFirstIsClosedOrGone) {
    auto first = setUp();
    auto loud = config();
    loud->debug = true;
    LogCapture log;
    auto second = setUp(loud);
    EXPECT_FALSE(second->isEnabled());
    EXPECT_EQ(second->queue(), nullptr);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"[Plover] API Key: test-key already has a Plover instance."});
    EXPECT_TRUE(first->isEnabled());
    EXPECT_NE(first->queue(), nullptr);

    // Another key is no concern of the first.
    EXPECT_TRUE(setUp(config("other-key"))->isEnabled());

    first->close();
    log.clear();
    second->setup(loud);
    EXPECT_TRUE(second->isEnabled());
    for (auto& line : log.lines()) EXPECT_EQ(line.find("already has"), std::string::npos) << line;

    // Dropping a set-up instance gives its key back as well.
    second.reset();
    auto third = setUp();
    EXPECT_TRUE(third->isEnabled());
}

TEST_F(SdkFixture, CloseEmptiesTheInstanceEndsTheSessionAndAllowsSetupAgain) {
    auto settings = config();
    settings->debug = true;
    auto sdk = setUp(settings);
    auto identity = sdk->storageManager();
    journal->take();
    ASSERT_TRUE(plover::isDebugLogging());
    sdk->close();
    EXPECT_FALSE(sdk->isEnabled());
    EXPECT_EQ(sdk->config()->apiKey(), "");
    EXPECT_NE(sdk->config(), settings);
    EXPECT_FALSE(sdk->queue() || sdk->replayQueue() || sdk->storage() || sdk->remoteConfig() || sdk->context() ||
                 sdk->reachability() || sdk->storageManager());
    EXPECT_TRUE(sdk->installedIntegrations().empty());
    EXPECT_EQ(journal->take(), (std::vector<std::string>{"uninstall First", "uninstall Second"}));
    EXPECT_FALSE(plover::isDebugLogging());
    EXPECT_EQ(plover::PloverSessionManager::shared()->getSessionId(std::nullopt, true), std::nullopt);
    {
        LogCapture log;
        EXPECT_EQ(sdk->getDistinctId(), "");
        sdk->close();
        EXPECT_EQ(log.lines(), (std::vector<std::string>{std::string(notSetUp), std::string(notSetUp)}));
    }

    auto again = config();
    sdk->setup(again);
    EXPECT_TRUE(sdk->isEnabled());
    EXPECT_EQ(sdk->config(), again);
    EXPECT_NE(sdk->storageManager(), identity);
    EXPECT_TRUE(sdk->getSessionId().has_value());
    EXPECT_EQ(journal->take(), (std::vector<std::string>{"install First", "install Second"}));
}

TEST_F(SdkFixture, ConcurrentClosesActOnce) {
    auto sdk = setUp();
    journal->take();
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back([&] { sdk->close(); });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(journal->take(), (std::vector<std::string>{"uninstall First", "uninstall Second"}));
    EXPECT_FALSE(sdk->isEnabled());
}

TEST_F(SdkFixture, AFailingIntegrationIsLoggedAndLeftOutTheOthersAreInstalledInOrder) {
    integrations = {{"First", false}, {"Broken", true}, {"Third", false}};
    auto settings = config();
    settings->debug = true;
    LogCapture log;
    auto sdk = setUp(settings);
    ASSERT_EQ(sdk->installedIntegrations().size(), 2u);
    EXPECT_EQ(sdk->installedIntegrations()[0]->typeName(), "First");
    EXPECT_EQ(sdk->installedIntegrations()[1]->typeName(), "Third");
    auto lines = linesWith(log, "Integration");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "[Plover] Integration First installed");
    EXPECT_EQ(lines[1].rfind("[Plover] Integration Broken failed to install: it broke (", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2], "[Plover] Integration Third installed");

    log.clear();
    sdk->installIntegrations();
    EXPECT_EQ(log.lines(), std::vector<std::string>{
                               "[Plover] Integrations already installed. Call uninstallIntegrations() first."});
    journal->take();
    sdk->uninstallIntegrations();
    EXPECT_EQ(journal->take(), (std::vector<std::string>{"uninstall First", "uninstall Third"}));
    sdk->uninstallIntegrations();
    EXPECT_TRUE(journal->take().empty());
}

TEST_F(SdkFixture, AnApplicationCallbackReachedWhileInstallingMayCallBackIntoTheInstance) {
    struct Case {
        const char* name;
        RecordingIntegration::Hook hook;
        bool enabled;
        bool optedOut;
    };
    const Case cases[] = {
        {"opt out", [](PloverSDK& sdk) { sdk.optOut(); }, true, true},
        {"close", [](PloverSDK& sdk) { sdk.close(); }, false, false},
        {"setup again", [this](PloverSDK& sdk) { sdk.setup(config()); }, true, false},
        {"opt out and back in", [](PloverSDK& sdk) { sdk.optOut(), sdk.optIn(); }, true, false},
    };
    for (auto& each : cases) {
        SCOPED_TRACE(each.name);
        onFirstInstall = each.hook;
        auto sdk = setUp();
        EXPECT_EQ(sdk->isEnabled(), each.enabled);
        EXPECT_EQ(sdk->isEnabled() && sdk->isOptOut(), each.optedOut);
        bool wanted = each.enabled && !each.optedOut;
        EXPECT_EQ(sdk->installedIntegrations().size(), wanted ? 2u : 0u);
        auto entries = journal->take();
        EXPECT_EQ(entries.front(), "install First");
        EXPECT_EQ(entries.back(), wanted ? "install Second" : "uninstall Second");
        sdk->close();
        storageOf().remove(Key::optOut);
        journal->take();
    }
}

TEST_F(SdkFixture, DestroyingAnInstanceUninstallsItsIntegrations) {
    auto sdk = setUp();
    journal->take();
    sdk.reset();
    EXPECT_EQ(journal->take(), (std::vector<std::string>{"uninstall First", "uninstall Second"}));
}

TEST_F(SdkFixture, TheLifecycleIntegrationComesLastAndOnlyWhenSwitchedOn) {
    auto settings = config();
    settings->captureScreenViews = false;
    settings->captureApplicationLifecycleEvents = false;
    EXPECT_TRUE(plover::makeIntegrations(*settings).empty());
    settings->captureApplicationLifecycleEvents = true;
    auto made = plover::makeIntegrations(*settings);
    ASSERT_FALSE(made.empty());
    EXPECT_EQ(made.back()->typeName(), "PloverAppLifeCycleIntegration");
}

TEST_F(SdkFixture, TheLifecycleIntegrationHasOneOwnerPerProcessAndPassesToTheNextOnceFreed) {
    auto configHome = folders.folder.path() / "config";
    if (platform::UserDefaults::standard().file().string().rfind(configHome.string(), 0) != 0) {
        GTEST_SKIP() << "the standard user defaults were opened elsewhere earlier in this process";
    }
    auto environment = this->environment();
    environment.makeIntegrations = nullptr;
    auto settings = [this](std::string key) {
        auto made = config(std::move(key));
        made->captureScreenViews = false;
        made->debug = true;
        return made;
    };
    LogCapture log;
    auto first = PloverSDK::with(settings("first-key"), environment);
    ASSERT_EQ(first->installedIntegrations().size(), 1u);
    EXPECT_EQ(linesWith(log, "Integration"),
              std::vector<std::string>{"[Plover] Integration PloverAppLifeCycleIntegration installed"});

    log.clear();
    auto second = PloverSDK::with(settings("second-key"), environment);
    EXPECT_TRUE(second->installedIntegrations().empty());
    auto lines = linesWith(log, "Integration");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("[Plover] Integration PloverAppLifeCycleIntegration failed to install: App life cycle "
                             "integration already installed to another PloverSDK instance. (",
                             0),
              0u)
        << lines[0];

    first->close();
    second->optOut();
    second->optIn();
    EXPECT_EQ(second->installedIntegrations().size(), 1u);
}

TEST_F(SdkFixture, AStoredOptOutWinsOverTheConfigurationAtSetup) {
    storageOf().setJson(Key::optOut, Value(true));
    auto sdk = setUp();
    EXPECT_TRUE(sdk->config()->optOut.load());
    EXPECT_TRUE(sdk->isOptOut());
    EXPECT_TRUE(sdk->installedIntegrations().empty());
    EXPECT_TRUE(journal->take().empty());
}

TEST_F(SdkFixture, OptOutAndOptInStoreTheStateAndMoveTheIntegrationsOnlyOnAChange) {
    auto sdk = setUp();
    journal->take();
    struct Step {
        const char* name;
        void (PloverSDK::*call)();
        bool optedOut;
        std::optional<bool> stored;
        std::vector<std::string> journal;
    };
    const Step steps[] = {
        {"opt in while opted in", &PloverSDK::optIn, false, std::nullopt, {}},
        {"opt out", &PloverSDK::optOut, true, true, {"uninstall First", "uninstall Second"}},
        {"opt out again", &PloverSDK::optOut, true, true, {}},
        {"opt in", &PloverSDK::optIn, false, false, {"install First", "install Second"}},
    };
    for (auto& step : steps) {
        ((*sdk).*step.call)();
        EXPECT_EQ(sdk->isOptOut(), step.optedOut) << step.name;
        EXPECT_EQ(journal->take(), step.journal) << step.name;
        EXPECT_EQ(sdk->installedIntegrations().empty(), step.optedOut) << step.name;
        EXPECT_EQ(storageOf().getBool(Key::optOut), step.stored) << step.name;
    }
}

TEST_F(SdkFixture, RacingOptInsAndOptOutsLeaveStateStorageAndIntegrationsAgreeing) {
    auto sdk = setUp();
    std::vector<std::thread> threads;
    for (int i = 0; i < 6; ++i) {
        threads.emplace_back([&, i] {
            for (int round = 0; round < 50; ++round) {
                if ((round + i) % 2) {
                    sdk->optOut();
                } else {
                    sdk->optIn();
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    bool optedOut = sdk->isOptOut();
    EXPECT_EQ(storageOf().getBool(Key::optOut), optedOut);
    EXPECT_EQ(sdk->installedIntegrations().empty(), optedOut);
    // Every install is followed by its uninstall before the next install.
    int installed = 0;
    for (auto& entry : journal->take()) {
        installed += entry == "install First" ? 1 : entry == "uninstall First" ? -1 : 0;
        ASSERT_TRUE(installed == 0 || installed == 1);
    }
    EXPECT_EQ(installed, optedOut ? 0 : 1);
}

TEST_F(SdkFixture, OptInRacingCloseLeavesNoIntegrationBehind) {
    for (int round = 0; round < 20; ++round) {
        auto sdk = setUp();
        sdk->optOut();
        journal->take();
        std::thread opting([&] { sdk->optIn(); });
        sdk->close();
        opting.join();
        EXPECT_TRUE(sdk->installedIntegrations().empty());
        int installed = 0;
        for (auto& entry : journal->take()) installed += entry.rfind("install", 0) == 0 ? 1 : -1;
        EXPECT_EQ(installed, 0) << "round " << round;
    }
}

TEST_F(SdkFixture, FacadeCallsRacingCloseAndSetupSeeTheOldCollaboratorsOrNone) {
    auto sdk = setUp();
    std::atomic<bool> done{false};
    std::vector<std::thread> callers;
    for (int i = 0; i < 3; ++i) {
        callers.emplace_back([&] {
            while (!done.load()) {
                sdk->registerProperties({{"n", 1}});
                sdk->getDistinctId();
                sdk->getSessionId();
                sdk->buildProperties("p", Properties{{"a", 1}}, std::nullopt, std::nullopt, std::nullopt, true,
                                     std::nullopt);
                sdk->isPersonProcessingAllowed();
                sdk->flush();
                sdk->isOptOut();
            }
        });
    }
    for (int round = 0; round < 20; ++round) {
        sdk->close();
        sdk->setup(config());
    }
    done = true;
    for (auto& caller : callers) caller.join();
    EXPECT_TRUE(sdk->isEnabled());
    EXPECT_EQ(storageOf().getJson(Key::registerProperties), json::parse(R"({"n":1})"));
}

TEST_F(SdkFixture, ResetKeepsTheStoredOptOutSoTheUserStaysOptedOutAfterARestart) {
    auto sdk = setUp();
    sdk->registerProperties({{"plan", "pro"}});
    sdk->optOut();
    sdk->reset();
    EXPECT_TRUE(sdk->isOptOut());
    EXPECT_EQ(storageOf().getBool(Key::optOut), true);
    EXPECT_EQ(storageOf().getJson(Key::registerProperties), std::nullopt);
    sdk->close();

    auto restarted = setUp();
    EXPECT_TRUE(restarted->isOptOut());
    EXPECT_TRUE(restarted->installedIntegrations().empty());
}

TEST_F(SdkFixture, ResetForgetsTheUserAndKeepsTheAnonymousIdOnlyWhenAsked) {
    for (bool reuse : {true, false}) {
        SCOPED_TRACE(reuse ? "reuseAnonymousId" : "fresh anonymous id");
        auto settings = config(reuse ? "reuse-key" : "fresh-key");
        settings->reuseAnonymousId = reuse;
        auto sdk = setUp(settings);
        auto anonymous = sdk->getAnonymousId();
        sdk->storageManager()->setDistinctId("person");
        sdk->storageManager()->setIdentified(true);
        sdk->registerProperties({{"plan", "pro"}});
        auto session = sdk->getSessionId();
        sdk->remoteConfig()->setPersonPropertiesForFlags({{"p", 1}});
        sdk->remoteConfig()->setGroupPropertiesForFlags("org", {{"g", 1}});
        int reloadsBefore = requests->flagRequests.load();

        sdk->reset();
        EXPECT_EQ(sdk->getAnonymousId() == anonymous, reuse);
        EXPECT_EQ(sdk->getDistinctId(), sdk->getAnonymousId());
        EXPECT_FALSE(sdk->storageManager()->isIdentified());
        EXPECT_TRUE(sdk->buildFeatureFlagProperties().empty());
        ASSERT_TRUE(sdk->getSessionId().has_value());
        EXPECT_NE(sdk->getSessionId(), session);
        EXPECT_TRUE(sdk->remoteConfig()->personPropertiesForFlags().empty());
        EXPECT_TRUE(sdk->remoteConfig()->groupPropertiesForFlags().empty());
        EXPECT_EQ(requests->flagRequests.load(), reloadsBefore + 1);
        EXPECT_TRUE(std::filesystem::exists(*sdk->storage()->url(Key::queue)));
        sdk->close();
    }
}

TEST_F(SdkFixture, RegisteredSuperPropertiesAreStoredAndReplacedKeyByKey) {
    auto sdk = setUp();
    auto stored = [&] { return storageOf().getJson(Key::registerProperties); };
    sdk->unregisterProperties("never-registered");
    EXPECT_EQ(stored(), json::value(json::object{}));

    sdk->registerProperties({{"a", 1}, {"b", "x"}});
    sdk->registerProperties({{"a", 2}});
    EXPECT_EQ(stored(), json::parse(R"({"a":2,"b":"x"})"));
    sdk->registerProperties({});
    EXPECT_EQ(stored(), json::parse(R"({"a":2,"b":"x"})"));
    sdk->unregisterProperties("a");
    EXPECT_EQ(stored(), json::parse(R"({"b":"x"})"));
    sdk->unregisterProperties("b");
    EXPECT_EQ(stored(), json::value(json::object{}));
}

TEST_F(SdkFixture, PropertiesAreMergedWithTheStrongestSourceWinning) {
    auto settings = config();
    settings->personProfiles = plover::PloverPersonProfiles::always;
    auto sdk = setUp(settings);
    auto storage = storageOf();
    storage.setJson(Key::groups, Value(Properties{{"T1", "a"}}));
    sdk->registerProperties({{"plan", "pro"}, {"$os_name", "fake"}});
    const auto& staticContext = sdk->context()->theStaticContext();
    ASSERT_TRUE(staticContext.contains("$os_name"));
    const auto& sdkInfo = sdk->context()->theSdkInfo();
    auto session = sdk->getSessionId();
    ASSERT_TRUE(session);

    Properties given{{"plan", "free"}, {"$lib", "mine"}, {"own", true}, {"$session_id", ""}, {"distinct_id", "x"}};
    auto built = sdk->buildProperties("person", given, Properties{}, Properties{{"first", 1}},
                                      plover::PloverSDK::Groups{{"T1", "b"}, {"T2", "c"}}, true, std::nullopt);
    EXPECT_EQ(built.at("plan"), Value("pro"));
    EXPECT_EQ(built.at("$os_name"), staticContext.at("$os_name"));
    EXPECT_EQ(built.at("$lib"), sdkInfo.at("$lib"));
    EXPECT_EQ(built.at("$lib_version"), sdkInfo.at("$lib_version"));
    EXPECT_EQ(built.at("own"), Value(true));
    EXPECT_EQ(built.at("$session_id"), Value(*session));
    EXPECT_EQ(built.at("distinct_id"), Value("x"));  // only the caller's: shared events get no distinct_id
    EXPECT_EQ(built.at("$set"), Value(Properties{}));
    EXPECT_EQ(built.at("$set_once"), Value(Properties{{"first", 1}}));
    EXPECT_EQ(built.at("$groups"), Value(Properties{{"T1", "a"}, {"T2", "c"}}));
    EXPECT_EQ(built.at("$is_identified"), Value(false));
    EXPECT_EQ(built.at("$process_person_profile"), Value(true));

    // A caller's own non-empty session id is kept; groups given empty give an empty "$groups".
    storage.remove(Key::groups);
    auto own = sdk->buildProperties("person", Properties{{"$session_id", "mine"}}, std::nullopt, std::nullopt,
                                    plover::PloverSDK::Groups{}, true, std::nullopt);
    EXPECT_EQ(own.at("$session_id"), Value("mine"));
    EXPECT_EQ(own.at("$groups"), Value(Properties{}));
    EXPECT_FALSE(own.contains("$set"));
    EXPECT_FALSE(own.contains("$set_once"));
}

TEST_F(SdkFixture, EventsWithoutSharedPropertiesCarryOnlyLibrarySessionPersonAndTheirOwn) {
    auto sdk = setUp();
    sdk->registerProperties({{"plan", "pro"}});
    auto built = sdk->buildProperties("person", Properties{{"$window_id", "w"}}, Properties{{"a", 1}}, std::nullopt,
                                      plover::PloverSDK::Groups{{"T", "k"}}, false, std::nullopt);
    std::vector<std::string> keys;
    for (auto& [key, value] : built) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"$lib", "$lib_version", "$session_id", "$window_id", "distinct_id"}));
    EXPECT_EQ(built.at("distinct_id"), Value("person"));

    auto own = sdk->buildProperties("person", Properties{{"distinct_id", "given"}}, std::nullopt, std::nullopt,
                                    std::nullopt, false, std::nullopt);
    EXPECT_EQ(own.at("distinct_id"), Value("given"));
    auto empty = sdk->buildProperties("person", Properties{{"distinct_id", ""}}, std::nullopt, std::nullopt,
                                      std::nullopt, false, std::nullopt);
    EXPECT_EQ(empty.at("distinct_id"), Value("person"));
}

TEST_F(SdkFixture, CachedFlagsBecomeFeaturePropertiesAndOnlyTrueOrVariantFlagsAreActive) {
    struct Case {
        const char* name;
        const char* flags;
        std::optional<std::vector<std::string>> active;
    };
    const Case cases[] = {
        {"mixed", R"({"a":true,"b":false,"c":"variant"})", std::vector<std::string>{"a", "c"}},
        {"only false", R"({"b":false,"d":false})", std::nullopt},
    };
    for (auto& each : cases) {
        SCOPED_TRACE(each.name);
        auto key = std::string("key-") + each.name[0];
        storageOf(key).setJson(Key::enabledFeatureFlags, Value(json::parse(each.flags)));
        auto sdk = setUp(config(key));
        auto properties = sdk->buildFeatureFlagProperties();
        auto flags = json::parse(each.flags);
        for (auto& entry : flags.as_object()) {
            EXPECT_EQ(properties.at("$feature/" + std::string(entry.key())), Value(entry.value()));
        }
        if (each.active) {
            Value::Array expected(each.active->begin(), each.active->end());
            EXPECT_EQ(properties.at("$active_feature_flags"), Value(expected));
        } else {
            EXPECT_FALSE(properties.contains("$active_feature_flags"));
        }
        EXPECT_FALSE(properties.contains("$groups"));
        sdk->close();
    }
}

TEST_F(SdkFixture, PersonProcessingFollowsTheProfileSettingAndOnceRequiredStaysOnAfterARestart) {
    struct Case {
        plover::PloverPersonProfiles profiles;
        bool allowedBefore;
        bool required;
        bool allowedAfter;
        std::vector<std::string> log;
    };
    const Case cases[] = {
        {plover::PloverPersonProfiles::never, false, false, false,
         {"[Plover] personProfiles is set to `never`. This call will be ignored."}},
        {plover::PloverPersonProfiles::always, true, true, true, {}},
        {plover::PloverPersonProfiles::identifiedOnly, false, true, true, {}},
    };
    int index = 0;
    for (auto& each : cases) {
        SCOPED_TRACE(index);
        auto key = "profiles-" + std::to_string(index++);
        auto settings = config(key);
        settings->personProfiles = each.profiles;
        auto sdk = setUp(settings);
        EXPECT_EQ(sdk->isPersonProcessingAllowed(), each.allowedBefore);
        LogCapture log;
        EXPECT_EQ(sdk->requirePersonProcessing(), each.required);
        EXPECT_EQ(log.lines(), each.log);
        EXPECT_EQ(sdk->isPersonProcessingAllowed(), each.allowedAfter);
        EXPECT_EQ(sdk->buildProperties("p", std::nullopt, std::nullopt, std::nullopt, std::nullopt, true,
                                       std::nullopt)
                      .at("$process_person_profile"),
                  Value(each.allowedAfter));
        sdk->close();

        auto restarted = config(key);
        restarted->personProfiles = each.profiles;
        EXPECT_EQ(setUp(restarted)->isPersonProcessingAllowed(), each.allowedAfter);
    }
}

TEST_F(SdkFixture, AnIdentifiedUserIsProcessedUnderIdentifiedOnly) {
    auto sdk = setUp();
    EXPECT_FALSE(sdk->isPersonProcessingAllowed());
    sdk->storageManager()->setIdentified(true);
    EXPECT_TRUE(sdk->isPersonProcessingAllowed());
}

TEST_F(SdkFixture, SessionsCanBeEndedAndStartedAndReadingNeverStartsOne) {
    auto sdk = setUp();
    auto first = sdk->getSessionId();
    ASSERT_TRUE(first);
    EXPECT_EQ(sdk->getSessionId(), first);
    sdk->endSession();
    EXPECT_EQ(sdk->getSessionId(), std::nullopt);
    EXPECT_EQ(sdk->getSessionId(), std::nullopt);
    sdk->startSession();
    ASSERT_TRUE(sdk->getSessionId());
    EXPECT_NE(sdk->getSessionId(), first);

    auto previousName = plover::ploverSdkName();
    plover::setPloverSdkName("plover-react-native");
    auto current = sdk->getSessionId();
    sdk->endSession();
    EXPECT_EQ(sdk->getSessionId(), current);
    plover::setPloverSdkName(previousName);
}

TEST_F(SdkFixture, FlushSendsWhatTheEventQueueHolds) {
    support::IngestionServer server;
    host = server.host();
    auto sdk = setUp();
    sdk->queue()->add(plover::PloverEvent("queued", "person", {}, std::chrono::system_clock::now(),
                                          plover::TimeBasedEpochGenerator::v7()));
    sdk->flush();
    ASSERT_TRUE(server.waitForRequests(1));
    auto received = server.decodedRequests();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].path, "/batch");
    auto batch = json::parse(received[0].body).at("batch").as_array();
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_EQ(batch[0].at("event"), "queued");
}

TEST_F(SdkFixture, AKeyThatCannotNameAFolderSetsUpWithoutQueues) {
    auto settings = config("a/b");
    settings->debug = true;
    LogCapture log;
    auto sdk = setUp(settings);
    EXPECT_TRUE(sdk->isEnabled());
    EXPECT_EQ(sdk->queue(), nullptr);
    EXPECT_EQ(sdk->replayQueue(), nullptr);
    sdk->flush();
    EXPECT_EQ(count(log.lines(), "[Plover] API Key: a/b cannot name a storage folder; no event will be queued."), 1u);
}

}  // namespace
