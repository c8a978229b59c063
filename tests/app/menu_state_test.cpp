#include <gtest/gtest.h>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <vector>

#include "app/backend_config.hpp"
#include "app/menu_bar_state.hpp"
#include "app/menu_bar_state_manager.hpp"
#include "platform/notifications/notification_center.hpp"
#include "support/backend_environment.hpp"

namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using kestro::CallActivity;
using kestro::MenuBarItem;
using kestro::MenuBarState;
using kestro::MenuBarStateManager;
using kestro::UsageResponse;
using Items = std::vector<MenuBarItem>;

TEST(MenuItems, ARunningCallKeepsItsEntryInEveryState) {
    // A refresh (connecting) or used-up counts must not take away the way to end the call; while
    // starting or uploading, the start entry in its busy form stands in the same place, and while
    // starting "End Call" follows it to give the start up.
    using enum MenuBarItem;
    using Call = CallActivity;
    const struct {
        MenuBarState state;
        CallActivity call;
        Items expected;
    } cases[] = {
        {MenuBarState::connecting, Call::idle, {connecting, more, quit}},
        {MenuBarState::connecting, Call::starting, {startCall, endCall, more, quit}},
        {MenuBarState::connecting, Call::active, {endCall, more, quit}},
        {MenuBarState::connecting, Call::sending, {startCall, more, quit}},
        {MenuBarState::callsAvailable, Call::idle, {startCall, callsUsed, weekStreak, more, quit}},
        {MenuBarState::callsAvailable, Call::starting, {startCall, endCall, callsUsed, weekStreak, more, quit}},
        {MenuBarState::callsAvailable, Call::active, {endCall, callsUsed, weekStreak, more, quit}},
        {MenuBarState::callsAvailable, Call::sending, {startCall, callsUsed, weekStreak, more, quit}},
        {MenuBarState::callsUsedUp, Call::idle, {requestIncrease, callsUsed, weekStreak, more, quit}},
        {MenuBarState::callsUsedUp, Call::starting, {startCall, endCall, callsUsed, weekStreak, more, quit}},
        {MenuBarState::callsUsedUp, Call::active, {endCall, callsUsed, weekStreak, more, quit}},
        {MenuBarState::callsUsedUp, Call::sending, {startCall, callsUsed, weekStreak, more, quit}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "state " << int(c.state) << ", call " << int(c.call));
        EXPECT_EQ(kestro::menuItems(c.state, c.call), c.expected);
        if (c.call == Call::idle || c.call == Call::active) {  // the overload taking only "active"
            EXPECT_EQ(kestro::menuItems(c.state, c.call == Call::active), c.expected);
        }
    }
}

// A refresh driven by a scripted usage query.
class MenuRefresh : public ::testing::Test {
protected:
    MenuRefresh() {
        token = notifications.addObserver(kestro::usageUpdatedNotification, [this](const platform::Notification& note) {
            const auto* usage = note.get<UsageResponse>("usage");
            ASSERT_NE(usage, nullptr);
            announced.push_back(*usage);
        });
    }

    std::unique_ptr<MenuBarStateManager> makeManager(MenuBarStateManager::UsageFetch fetch,
                                                     std::chrono::steady_clock::duration retry = 1ms) {
        auto manager = std::make_unique<MenuBarStateManager>(io.get_executor(), io.get_executor(), std::move(fetch),
                                                             notifications, retry);
        states = manager->currentState.observe([this](MenuBarState state) { seen.push_back(state); });
        return manager;
    }

    // Fails `failures` times, then answers each later query with the next of `answers`, then
    // fails again.
    MenuBarStateManager::UsageFetch scripted(int failures, std::vector<UsageResponse> answers) {
        return [this, failures, answers]() -> asio::awaitable<UsageResponse> {
            auto answer = static_cast<std::size_t>(queries++ - failures);
            if (answer >= answers.size()) throw std::runtime_error("offline");
            co_return answers[answer];
        };
    }

    // Runs until nothing is left to do.
    void runAll() {
        io.restart();
        io.run();
    }

    asio::io_context io;
    platform::NotificationCenter notifications;
    platform::ObserverToken token;
    platform::Subscription states;
    std::vector<UsageResponse> announced;
    std::vector<MenuBarState> seen;
    int queries = 0;
};

TEST_F(MenuRefresh, CountsDecideTheStateAndAreAnnouncedFirst) {
    auto manager = makeManager(scripted(0, {{3, 10}, {10, 10}, {11, 10}}));
    std::vector<std::pair<std::size_t, MenuBarState>> order;
    auto watch = manager->currentState.observe([&](MenuBarState state) { order.emplace_back(announced.size(), state); });

    for (auto expected : {MenuBarState::callsAvailable, MenuBarState::callsUsedUp, MenuBarState::callsUsedUp}) {
        manager->refreshState();
        runAll();
        EXPECT_EQ(manager->currentState.get(), expected);
    }
    EXPECT_EQ(announced, (std::vector<UsageResponse>{{3, 10}, {10, 10}, {11, 10}}));
    // The notification goes out before the state changes; each refresh shows connecting first.
    ASSERT_GE(order.size(), 2u);
    EXPECT_EQ(order[0], (std::pair<std::size_t, MenuBarState>{1, MenuBarState::callsAvailable}));
    EXPECT_EQ(order[1], (std::pair<std::size_t, MenuBarState>{1, MenuBarState::connecting}));
}

TEST_F(MenuRefresh, FailedQueriesAreRetriedAfterTheDelayWhileShowingConnecting) {
    auto manager = makeManager(scripted(3, {{1, 5}}));
    manager->refreshState();
    io.run();
    EXPECT_EQ(queries, 4);
    EXPECT_EQ(seen, (std::vector<MenuBarState>{MenuBarState::callsAvailable}));
    EXPECT_EQ(announced, (std::vector<UsageResponse>{{1, 5}}));
}

TEST_F(MenuRefresh, TheRetryWaitsItsDelayUnlessANewRefreshOrReleasingTheManagerEndsIt) {
    auto manager = makeManager(scripted(1, {{2, 4}}), 1h);
    manager->refreshState();
    io.run_for(100ms);
    EXPECT_EQ(queries, 1);
    EXPECT_EQ(manager->currentState.get(), MenuBarState::connecting);

    manager->refreshState();
    runAll();  // the older one's hour-long wait was cut short
    EXPECT_EQ(queries, 2);
    EXPECT_EQ(announced, (std::vector<UsageResponse>{{2, 4}}));
    EXPECT_EQ(manager->currentState.get(), MenuBarState::callsAvailable);

    manager->refreshState();  // fails, and waits an hour for its retry
    io.restart();
    io.run_for(50ms);
    manager.reset();
    runAll();  // returns: the waiting refresh has ended
    EXPECT_EQ(queries, 3);
    EXPECT_EQ(announced.size(), 1u);
}

TEST_F(MenuRefresh, ALateReplyOfASupersededRefreshChangesNothing) {
    // The first query ignores cancellation and answers after the second refresh has begun.
    auto fetch = [this]() -> asio::awaitable<UsageResponse> {
        int call = queries++;
        asio::steady_timer timer(io, call == 0 ? 60ms : 120ms);
        co_await timer.async_wait(asio::bind_cancellation_slot(asio::cancellation_slot(), asio::use_awaitable));
        co_return call == 0 ? UsageResponse{10, 10} : UsageResponse{3, 10};
    };
    auto manager = makeManager(fetch);
    manager->refreshState();
    asio::steady_timer later(io, 20ms);
    later.async_wait([&](auto) { manager->refreshState(); });
    io.run();

    EXPECT_EQ(queries, 2);
    EXPECT_EQ(announced, (std::vector<UsageResponse>{{3, 10}}));
    EXPECT_EQ(seen, (std::vector<MenuBarState>{MenuBarState::callsAvailable}));
}

// The same against the loopback backend, with the application's usage query.
class MenuRefreshOverHttp : public MenuRefresh {
protected:
    std::unique_ptr<MenuBarStateManager> makeHttpManager(std::chrono::steady_clock::duration retry) {
        return makeManager([this] { return kestro::fetchUsage(env.network); }, retry);
    }
    support::BackendEnvironment env;
};

TEST_F(MenuRefreshOverHttp, AsksForUsageWithTheCredentialAndCancelsASupersededRequest) {
    env.storeCredential("cred");
    env.backend.enqueue("/usage", support::ScriptedReply::json(200, R"({"used":10,"total":10})").after(5s));
    env.backend.enqueue("/usage", support::ScriptedReply::json(200, R"({"used":3,"total":10})"));
    auto manager = makeHttpManager(1ms);
    manager->refreshState();
    asio::steady_timer later(io, 100ms);
    later.async_wait([&](auto) { manager->refreshState(); });
    io.run();  // does not wait out the five-second reply: that transfer was cancelled

    EXPECT_EQ(announced, (std::vector<UsageResponse>{{3, 10}}));
    EXPECT_EQ(manager->currentState.get(), MenuBarState::callsAvailable);
    auto requests = env.backend.requestsTo("/usage");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].header("Authorization"), "Bearer cred");
}

TEST_F(MenuRefreshOverHttp, AMissingCredentialIsPublishedAndACredentialStoredMeanwhileIsUsed) {
    env.backend.setReply("/usage", support::ScriptedReply::json(200, R"({"used":1,"total":3})"));
    auto manager = makeHttpManager(20ms);
    std::vector<bool> missing;
    auto watch = manager->isCredentialMissing.observe([&](bool value) { missing.push_back(value); });

    manager->refreshState();
    io.run_for(50ms);
    EXPECT_EQ(missing, std::vector<bool>{true});
    EXPECT_EQ(manager->currentState.get(), MenuBarState::connecting);
    EXPECT_TRUE(env.backend.requests().empty());

    // Stored by another process, as `kestro --set-credential` does.
    platform::UserDefaults(env.defaults.file()).set(std::string(kestro::credentialKey), "late");
    runAll();
    EXPECT_EQ(missing, (std::vector<bool>{true, false}));
    EXPECT_EQ(manager->currentState.get(), MenuBarState::callsAvailable);
    EXPECT_EQ(env.backend.requests().at(0).header("Authorization"), "Bearer late");
}

}  // namespace
