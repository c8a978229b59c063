#include "app/menu_bar_view.hpp"

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "app/usage_manager.hpp"
#include "shortcuts/shortcut_layer.hpp"
#include "menu_rig.hpp"
#include "support/test_runtime.hpp"

namespace {

using namespace std::chrono_literals;
namespace asio = boost::asio;
using kestro::MenuBarState;
using kestro::test::menuLines;
using Lines = std::vector<std::string>;

class MenuBarViewTest : public ::testing::Test {
protected:
    template <class Predicate>
    bool runUntil(Predicate done) {
        return support::runUntil(io, done);
    }
    bool reaches(MenuBarState state) {
        return runUntil([&] { return rig->stateManager->currentState.get() == state; });
    }
    std::shared_ptr<kestro::SessionManager> session() { return rig->sessionManager; }

    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> busy = asio::make_work_guard(io);
    std::unique_ptr<kestro::test::MenuRig> rig = std::make_unique<kestro::test::MenuRig>(io.get_executor());
};

TEST_F(MenuBarViewTest, TheStartShortcutWhenUsedUpShowsTheControllersRefusal) {
    rig->environment.backend.setReply("/usage",
                                      support::ScriptedReply::json(200, R"({"used": 10, "total": 10})"));
    rig->view->appear();
    ASSERT_TRUE(reaches(MenuBarState::callsUsedUp));
    rig->view->handleStartShortcut();
    ASSERT_TRUE(runUntil([&] { return session()->errorMessage.get().has_value(); }));
    EXPECT_TRUE(rig->conversations.empty());
    auto menu = rig->view->menu();
    EXPECT_EQ(menu.front().title, *session()->errorMessage.get());
    EXPECT_EQ(menuLines(menu)[2], "Request Increase");
}

TEST_F(MenuBarViewTest, TheStartShortcutWaitsForFreeCallsAndTheEndShortcutEndsACallWhateverTheMenuState) {
    rig->view->handleEndShortcut();  // no call: nothing
    rig->view->handleStartShortcut();
    io.run_for(20ms);
    EXPECT_TRUE(rig->conversations.empty()) << "ignored while connecting";
    EXPECT_EQ(session()->errorMessage.get(), std::nullopt);

    rig->view->appear();
    ASSERT_TRUE(reaches(MenuBarState::callsAvailable));
    rig->view->handleStartShortcut();
    ASSERT_TRUE(runUntil([&] { return session()->isConversationActive.get(); }));
    rig->view->handleStartShortcut();
    io.run_for(20ms);
    EXPECT_EQ(rig->conversations.size(), 1u);
    EXPECT_EQ(session()->errorMessage.get(), std::nullopt) << "a busy controller is not even asked";

    // Opening the menu again refreshes: the state is "connecting" until the counts arrive.
    rig->environment.backend.setReply("/usage",
                                      support::ScriptedReply::json(200, R"({"used": 4, "total": 10})")
                                          .after(std::chrono::milliseconds(300)));
    rig->view->appear();
    ASSERT_TRUE(reaches(MenuBarState::connecting));
    EXPECT_EQ(rig->view->menu().front().title, "End Call");
    rig->view->handleEndShortcut();
    EXPECT_FALSE(session()->isConversationActive.get());
}

// A backend that does not answer must not hold the menu in "Starting...": the end shortcut, and
// the menu's "End Call", give the start up and the menu is as it was before.
TEST_F(MenuBarViewTest, TheEndShortcutOrEndCallGivesUpAStartWaitingForItsCredential) {
    rig->fetchHangs = true;
    rig->view->appear();
    ASSERT_TRUE(reaches(MenuBarState::callsAvailable));
    const auto before = menuLines(rig->view->menu());
    for (const bool byShortcut : {true, false}) {
        SCOPED_TRACE(byShortcut ? "end shortcut" : "End Call in the menu");
        rig->view->handleStartShortcut();
        io.run_for(20ms);
        ASSERT_TRUE(session()->isStartingSession.get());
        ASSERT_FALSE(rig->conversations.empty());
        EXPECT_TRUE(rig->conversations.back()->listening) << "the microphone opens with the start";
        auto menu = rig->view->menu();
        ASSERT_GE(menu.size(), 2u);
        EXPECT_EQ(menu[0].title, "Starting...");
        EXPECT_EQ(menu[1].title, "End Call");
        EXPECT_TRUE(menu[1].enabled);

        std::weak_ptr<kestro::test::ScriptedConversation> started = rig->conversations.back();
        if (byShortcut) {
            rig->view->handleEndShortcut();
        } else {
            rig->view->trigger("endCall");
        }
        EXPECT_FALSE(session()->isStartingSession.get());
        EXPECT_FALSE(started.lock()->listening);
        rig->conversations.clear();
        EXPECT_TRUE(started.expired()) << "the controller still holds the given-up call";
        io.run_for(20ms);
        EXPECT_EQ(menuLines(rig->view->menu()), before);
        EXPECT_EQ(session()->errorMessage.get(), std::nullopt);
        EXPECT_FALSE(session()->isSendingTranscript.get()) << "nothing was said, nothing to post";
    }
}

TEST_F(MenuBarViewTest, UsageNotificationsUpdateTheCountsAndOddOnesAreIgnored) {
    rig->notifications.post("usageUpdated", {{"usage", kestro::UsageResponse{3, 10}}});
    EXPECT_EQ(rig->view->usageManager()->usedCalls.get(), 3);
    EXPECT_EQ(rig->view->usageManager()->totalCalls.get(), 10);
    rig->notifications.post("usageUpdated");
    rig->notifications.post("usageUpdated", {{"usage", std::string("3/10")}});
    rig->notifications.post("usageUpdated", {{"counts", kestro::UsageResponse{5, 6}}});
    EXPECT_EQ(rig->view->usageManager()->usedCalls.get(), 3);
    EXPECT_EQ(rig->view->usageManager()->totalCalls.get(), 10);
}

TEST_F(MenuBarViewTest, WithoutACredentialTheErrorLineSaysSoUntilOneIsStored) {
    rig = std::make_unique<kestro::test::MenuRig>(io.get_executor(), /*withCredential=*/false);
    rig->view->appear();
    ASSERT_TRUE(runUntil([&] { return rig->stateManager->isCredentialMissing.get(); }));
    auto menu = rig->view->menu();
    EXPECT_EQ(menu.front().title, kestro::missingCredentialLine("scripts/run.sh --set-credential"));
    EXPECT_EQ(menu.front().symbol, "key.slash.fill");
    EXPECT_EQ(menuLines(menu)[2], "Connecting");

    rig->environment.storeCredential();
    ASSERT_TRUE(reaches(MenuBarState::callsAvailable));
    EXPECT_EQ(rig->view->menu().front().title, "Start Call");
}

// 401 and 403 mean the stored credential is wrong: the menu says so, keeps asking, and the line
// goes once the backend takes a newly stored credential. Other failures show no line.
TEST_F(MenuBarViewTest, ARefusedCredentialIsNamedOnTheErrorLineUntilANewOneIsTaken) {
    struct Case {
        int status;
        bool named;
    };
    for (auto c : {Case{401, true}, Case{403, true}, Case{500, false}, Case{404, false}}) {
        SCOPED_TRACE(c.status);
        rig = std::make_unique<kestro::test::MenuRig>(io.get_executor());
        rig->environment.backend.setReply("/usage", support::ScriptedReply::json(c.status, R"({"error":"no"})"));
        rig->view->appear();
        ASSERT_TRUE(runUntil([&] { return rig->environment.backend.requestsTo("/usage").size() >= 3; }))
            << "retried";
        auto menu = rig->view->menu();
        EXPECT_EQ(rig->stateManager->isCredentialRejected.get(), c.named);
        if (c.named) {
            EXPECT_EQ(menu.front().title, "API Key Rejected: run scripts/run.sh --set-credential");
            EXPECT_EQ(menu.front().symbol, "key.slash.fill");
            EXPECT_EQ(menuLines(menu)[2], "Connecting");
        } else {
            EXPECT_EQ(menuLines(menu).front(), "Connecting");
        }

        rig->environment.storeCredential("a-new-one");
        rig->environment.backend.setReply("/usage", support::ScriptedReply::json(200, R"({"used":1,"total":5})"));
        ASSERT_TRUE(reaches(MenuBarState::callsAvailable));
        EXPECT_FALSE(rig->stateManager->isCredentialRejected.get());
        EXPECT_EQ(menuLines(rig->view->menu()).front(), "Start Call");
    }
}

// At start-up the counts are asked for, but the streak counts weeks in which the menu was shown.
TEST_F(MenuBarViewTest, StartingUpRefreshesTheStateWithoutCountingTheStreakWhichCountsWhenShown) {
    rig->view->start();
    ASSERT_TRUE(reaches(MenuBarState::callsAvailable));
    EXPECT_EQ(rig->environment.defaults.integer("Kestro_StreakCount"), std::nullopt);
    EXPECT_EQ(rig->environment.defaults.integer("Kestro_LastStreakWeek"), std::nullopt);
    EXPECT_EQ(rig->usageHandedToFetch, nullptr);
    rig->view->handleStartShortcut();
    ASSERT_TRUE(runUntil([&] { return session()->isConversationActive.get(); }));
    EXPECT_EQ(rig->usageHandedToFetch, rig->view->usageManager()) << "the counts reach the controller at start-up";

    rig->view->appear();
    EXPECT_EQ(rig->environment.defaults.integer("Kestro_StreakCount"), 1);
    EXPECT_EQ(menuLines(rig->view->menu())[3], "1 Week Streak");
}

// The start and end entries show the display strings of the stored shortcuts, and follow a change.
TEST_F(MenuBarViewTest, TheShortcutTextsAreTheStoredShortcutsDisplayStringsAndFollowChanges) {
    rig->view->appear();
    ASSERT_TRUE(reaches(MenuBarState::callsAvailable));
    EXPECT_EQ(rig->view->menu().front().shortcutText, "⌃P");
    int changes = 0;
    rig->view->setChangeHandler([&] { ++changes; });
    rig->shortcutTexts["startSession"] = "⌥⇧K";
    rig->notifications.post(GlobalShortcuts::shortcutByNameDidChangeNotification);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(rig->view->menu().front().shortcutText, "⌥⇧K");
    EXPECT_EQ(rig->view->inputs().endShortcutText, "⌃M");
}

TEST_F(MenuBarViewTest, SupportLinksOpenTheMailProgramAndQuitQuits) {
    rig->view->trigger("requestIncrease");
    rig->view->trigger("more.support");
    rig->view->trigger("more.checkForUpdates");  // no updater: nothing
    rig->view->trigger("callsUsed");
    rig->view->trigger("quit");
    EXPECT_EQ(rig->opener.opened, (Lines{"mailto:help@kestro.app", "mailto:help@kestro.app"}));
    EXPECT_EQ(rig->quits, 1);

    rig = std::make_unique<kestro::test::MenuRig>(io.get_executor(), true, "not an address");
    rig->view->trigger("more.support");
    EXPECT_TRUE(rig->opener.opened.empty());
}

}  // namespace
