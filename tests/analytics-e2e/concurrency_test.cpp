// The client used from several threads at once while uploads are under way: captures racing
// close, closes racing each other, opt-ins racing each other. Run under ThreadSanitizer as well.

#include <set>
#include <thread>

#include "e2e_fixture.hpp"

namespace {

using namespace analytics_e2e;

// Starts `count` threads running `body(index)` together and joins them.
template <class F>
void together(int count, F body) {
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
        threads.emplace_back([&, i] {
            ++ready;
            while (!go.load()) std::this_thread::yield();
            body(i);
        });
    }
    while (ready.load() < count) std::this_thread::yield();
    go = true;
    for (auto& thread : threads) thread.join();
}

// Every upload the service got is a complete batch of well-formed events.
void expectWellFormedUploads(const EndToEnd& test) {
    for (auto& body : test.uploads()) {
        ASSERT_TRUE(body.is_object());
        for (auto& event : body.at("batch").as_array()) {
            auto& object = event.as_object();
            EXPECT_TRUE(object.contains("uuid") && object.contains("timestamp") && object.contains("distinct_id"));
            EXPECT_TRUE(object.at("properties").as_object().contains("$lib")) << event;
        }
    }
}

TEST_F(EndToEnd, CaptureRacingCloseLeavesAClosedInstanceThatCanBeSetUpAgain) {
    auto sdk = setUp();
    std::atomic<int> captured{0};
    together(5, [&](int index) {
        if (index == 0) {
            // Close once uploads are under way and captures keep coming.
            support::eventually([&] { return !server.requestsTo("/batch").empty() && captured.load() > 40; });
            sdk->close();
            return;
        }
        for (int i = 0; i < 150; ++i) {
            sdk->capture("race", Properties{{"thread", index}, {"i", i}});
            sdk->getFeatureFlag("beta");
            ++captured;
        }
    });
    EXPECT_FALSE(sdk->isEnabled());
    EXPECT_EQ(sdk->getDistinctId(), "");
    // What was uploaded before and during close is intact.
    ASSERT_TRUE(support::eventually([&] { return !eventsNamed("race").empty(); }));
    expectWellFormedUploads(*this);

    // The instance comes back whole, and so does its queue.
    sdk->setup(config());
    ASSERT_TRUE(sdk->isEnabled());
    sdk->capture("after the race");
    ASSERT_FALSE(waitForEvent(*sdk, "after the race").empty());
    sdk->close();
}

TEST_F(EndToEnd, ClosesRacingEachOtherAndCapturesLeaveTheInstanceClosedAndTheKeyFree) {
    auto sdk = setUp();
    together(6, [&](int index) {
        if (index < 2) {
            support::eventually([&] { return !server.requestsTo("/batch").empty(); });
            sdk->close();
            return;
        }
        for (int i = 0; i < 100; ++i) sdk->capture("closing", Properties{{"i", i}});
    });
    EXPECT_FALSE(sdk->isEnabled());
    expectWellFormedUploads(*this);

    plover::setDebugLogging(true);
    log.clear();
    auto next = setUp();
    ASSERT_TRUE(next->isEnabled());
    EXPECT_TRUE(linesWith("already has a Plover instance").empty());
    next->capture("after the closes");
    ASSERT_FALSE(waitForEvent(*next, "after the closes").empty());
    next->close();
}

TEST_F(EndToEnd, SetupRacingCaptureOnAnotherThreadNeverSendsAHalfBuiltEvent) {
    auto sdk = PloverSDK::create(config(), environment());
    together(4, [&](int index) {
        if (index == 0) {
            sdk->setup(config());
            return;
        }
        for (int i = 0; i < 100; ++i) sdk->capture("during setup");
    });
    ASSERT_TRUE(sdk->isEnabled());
    drain(*sdk);
    expectWellFormedUploads(*this);
    for (auto& event : eventsNamed("during setup")) {
        EXPECT_TRUE(event.at("properties").as_object().contains("$session_id")) << event;
    }
    sdk->close();
}

TEST_F(EndToEnd, OptInsRacingEachOtherInstallTheLifecycleIntegrationOnce) {
    auto settings = config();
    settings->captureApplicationLifecycleEvents = true;
    auto sdk = setUp(settings);
    const std::string installed = "[Plover] Integration PloverAppLifeCycleIntegration installed";
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        sdk->optOut();
        log.clear();
        together(4, [&](int) { sdk->optIn(); });
        EXPECT_FALSE(sdk->isOptOut());
        EXPECT_EQ(logged(installed), 1u);
        EXPECT_TRUE(linesWith("already installed").empty());
        EXPECT_EQ(sdk->installedIntegrations().size(), 1u);
    }
    log.clear();
    together(4, [&](int) { sdk->optOut(); });
    EXPECT_TRUE(sdk->isOptOut());
    EXPECT_EQ(logged("[Plover] Integration PloverAppLifeCycleIntegration uninstalled"), 1u);
    EXPECT_TRUE(sdk->installedIntegrations().empty());
    sdk->close();
}

TEST_F(EndToEnd, DroppingASetUpInstanceWhileUploadsAreUnderWayFreesItsKeyAndKeepsItsEvents) {
    // The application may end without closing: the instance goes with its last reference.
    server.setReply("/batch", support::ScriptedReply::json(200, "{}").after(50ms));
    std::weak_ptr<PloverSDK> dropped;
    {
        auto sdk = setUp();
        dropped = sdk;
        for (int i = 0; i < 20; ++i) sdk->capture("before the drop", Properties{{"i", i}});
        ASSERT_TRUE(support::eventually([&] { return !server.requests().empty(); }));
    }
    // Work the instance had handed to the executors may hold it a moment longer.
    ASSERT_TRUE(support::eventually([&] { return dropped.expired(); }));
    server.setReply("/batch", support::ScriptedReply::json(200, "{}"));
    log.clear();
    auto next = setUp();
    ASSERT_TRUE(next->isEnabled());
    EXPECT_TRUE(linesWith("already has a Plover instance").empty());
    next->capture("after the drop");
    drain(*next);
    // Every event captured before the drop went out, at least once.
    std::set<std::int64_t> sent;
    for (auto& event : eventsNamed("before the drop")) sent.insert(event.at("properties").at("i").as_int64());
    EXPECT_EQ(sent.size(), 20u);
    expectWellFormedUploads(*this);
    next->close();
}

TEST_F(EndToEnd, OptInsAndOptOutsRacingEachOtherLeaveStateStorageAndIntegrationsAgreeing) {
    auto settings = config();
    settings->captureApplicationLifecycleEvents = true;
    auto sdk = setUp(settings);
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        together(6, [&](int index) {
            for (int i = 0; i < 5; ++i) (index + i) % 2 ? sdk->optIn() : sdk->optOut();
        });
        auto optedOut = sdk->isOptOut();
        EXPECT_EQ(plover::PloverStorage(*config(), folders.environment()).getBool(plover::PloverStorage::StorageKey::optOut),
                  optedOut);
        EXPECT_EQ(sdk->installedIntegrations().empty(), optedOut);
    }
    sdk->close();
}

TEST_F(EndToEnd, AnOptInRacingCloseNeverLeavesTheLifecycleIntegrationHeldByTheClosedInstance) {
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        auto settings = config();
        settings->captureApplicationLifecycleEvents = true;
        auto sdk = setUp(settings);
        sdk->optOut();
        together(2, [&](int index) { index == 0 ? sdk->optIn() : sdk->close(); });
        EXPECT_FALSE(sdk->isEnabled());
        EXPECT_TRUE(sdk->installedIntegrations().empty());
        // The process's one lifecycle integration is free for the next instance.
        auto next = config("next-key");
        next->captureApplicationLifecycleEvents = true;
        auto other = setUp(next);
        EXPECT_EQ(other->installedIntegrations().size(), 1u);
        other->close();
        // The stored choice is the opt-in when it won, the opt-out otherwise; the next start agrees.
        auto restarted = setUp(config());
        EXPECT_EQ(restarted->isOptOut(),
                  plover::PloverStorage(*config(), folders.environment()).getBool(plover::PloverStorage::StorageKey::optOut));
        restarted->optIn();
        restarted->close();
    }
}

TEST_F(EndToEnd, SetupsRacingOnOneInstanceSetItUpOnce) {
    std::atomic<int> started{0};
    auto token = center.addObserver(std::string(PloverSDK::didStartNotification),
                                    [&](const platform::Notification&) { ++started; });
    auto sdk = PloverSDK::create(config(), environment());
    together(4, [&](int) { sdk->setup(config()); });
    ASSERT_TRUE(sdk->isEnabled());
    EXPECT_EQ(logged("[Plover] Setup called despite already being setup!"), 3u);
    ASSERT_TRUE(support::eventually([&] { return started.load() == 1; }));
    sdk->capture("after racing setups");
    ASSERT_FALSE(waitForEvent(*sdk, "after racing setups").empty());
    EXPECT_EQ(started.load(), 1);
    sdk->close();
}

TEST_F(EndToEnd, InstancesOfOneKeyRacingToSetUpLeaveExactlyOneLive) {
    std::vector<std::shared_ptr<PloverSDK>> instances;
    for (int i = 0; i < 4; ++i) instances.push_back(PloverSDK::create(config(), environment()));
    together(4, [&](int index) { instances[index]->setup(config()); });
    std::shared_ptr<PloverSDK> live;
    for (auto& instance : instances) {
        if (instance->isEnabled()) {
            EXPECT_FALSE(live) << "two live instances share the key";
            live = instance;
        }
    }
    ASSERT_TRUE(live);
    EXPECT_EQ(logged("[Plover] API Key: " + apiKey + " already has a Plover instance."), 3u);
    live->capture("from the one live instance");
    ASSERT_FALSE(waitForEvent(*live, "from the one live instance").empty());
    live->close();
}

}  // namespace
