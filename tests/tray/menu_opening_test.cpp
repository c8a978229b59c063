// What the menu shows before and at an opening: every row with its final text before the menu is
// first opened (a tray host sizes the menu from what it reads before it opens it), and the
// settled rows kept through the opening's refresh while its answer comes within the grace.

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <functional>
#include <vector>

#include "app/menu_bar_view.hpp"
#include "menu_rig.hpp"
#include "support/test_runtime.hpp"

namespace {

using namespace std::chrono_literals;
namespace asio = boost::asio;
using kestro::MenuBarState;
using kestro::test::menuLines;
using Lines = std::vector<std::string>;

class MenuOpening : public ::testing::Test {
protected:
    void SetUp() override {
        auto& r = *rig;
        // A view of the rig's parts with the streak's upcoming text and a grace the test ends itself.
        view = std::make_unique<kestro::MenuBarView>(kestro::MenuBarView::Parts{
            .stateManager = r.stateManager.get(),
            .sessionManager = r.sessionManager,
            .urlOpener = &r.opener,
            .notifications = &r.notifications,
            .credentialMissing = &r.stateManager->isCredentialMissing,
            .credentialRejected = &r.stateManager->isCredentialRejected,
            .streakText = [&r] { return r.streak.streakText(); },
            .upcomingStreakText = [&r] { return r.streak.upcomingStreakText(); },
            .schedule = [this](std::chrono::milliseconds delay,
                               std::function<void()> fn) {
                graces.push_back(delay);
                pending.push_back(std::move(fn));
            },
            .supportAddress = "help@kestro.app",
            .quit = [] {},
        });
        view->setChangeHandler([this] { shown.push_back(menuLines(view->menu())); });
    }
    bool runUntil(const std::function<bool()>& done) { return support::runUntil(io, done); }
    bool reaches(MenuBarState state) {
        return runUntil([&] { return rig->stateManager->currentState.get() == state; });
    }
    void endGraces() {
        auto due = std::move(pending);
        pending.clear();
        for (auto& fn : due) fn();
    }

    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> busy = asio::make_work_guard(io);
    std::unique_ptr<kestro::test::MenuRig> rig = std::make_unique<kestro::test::MenuRig>(io.get_executor());
    std::unique_ptr<kestro::MenuBarView> view;
    std::vector<std::chrono::milliseconds> graces;
    std::vector<std::function<void()>> pending;
    // The menu after each change the view announced.
    std::vector<Lines> shown;
};

const Lines settled{"Start Call", "---", "Calls Used: 3/10", "1 Week Streak", "---", "More", "Quit"};

// At start-up the streak's row already reads what the first opening will count, without the week
// being counted before the menu is shown.
TEST_F(MenuOpening, TheStreakRowHasItsTextBeforeTheFirstOpeningAndTheWeekCountsOnlyWhenShown) {
    view->start();
    ASSERT_TRUE(reaches(MenuBarState::callsAvailable));
    EXPECT_EQ(menuLines(view->menu()), settled);
    EXPECT_EQ(rig->environment.defaults.integer("Kestro_StreakCount"), std::nullopt);

    view->appear();
    EXPECT_EQ(rig->environment.defaults.integer("Kestro_StreakCount"), 1);
    EXPECT_EQ(menuLines(view->menu()), settled) << "the opening changed the streak's row";
}

// An answer within the grace: the menu never shows "Connecting", and the refresh still asked.
TEST_F(MenuOpening, AnOpeningWhoseCountsComeWithinTheGraceKeepsTheSettledRows) {
    view->start();
    ASSERT_TRUE(reaches(MenuBarState::callsAvailable));
    const auto asked = rig->environment.backend.requestsTo("/usage").size();
    shown.clear();
    view->appear();
    ASSERT_EQ(graces, std::vector<std::chrono::milliseconds>{500ms});
    io.poll();
    EXPECT_EQ(rig->stateManager->currentState.get(), MenuBarState::connecting) << "the opening refreshes";
    ASSERT_TRUE(runUntil([&] { return rig->environment.backend.requestsTo("/usage").size() > asked; }));
    ASSERT_TRUE(reaches(MenuBarState::callsAvailable));
    for (const auto& lines : shown) EXPECT_EQ(lines, settled);
    endGraces();  // the grace ending after the answer changes nothing
    EXPECT_EQ(menuLines(view->menu()), settled);
}

// A slow answer: "Connecting" once the grace ends, the counts when they come. "Start Call"
// chosen while the settled rows were held starts the call once the refresh has settled, instead
// of being refused for the state behind it.
TEST_F(MenuOpening, ASlowAnswerShowsConnectingAfterTheGraceAndAStartChosenMeanwhileWaitsForIt) {
    view->start();
    ASSERT_TRUE(reaches(MenuBarState::callsAvailable));
    rig->environment.backend.setReply(
        "/usage", support::ScriptedReply::json(200, R"({"used": 4, "total": 10})").after(300ms));
    view->appear();
    io.poll();
    EXPECT_EQ(menuLines(view->menu()), settled);
    view->trigger("startCall");
    io.poll();
    EXPECT_TRUE(rig->conversations.empty()) << "started before the refresh settled";
    endGraces();
    EXPECT_EQ(menuLines(view->menu()), (Lines{"Connecting", "More", "Quit"})) << "no refusal shown";

    ASSERT_TRUE(reaches(MenuBarState::callsAvailable));
    ASSERT_TRUE(runUntil([&] { return rig->sessionManager->isConversationActive.get(); }));
    EXPECT_EQ(rig->conversations.size(), 1u);
    EXPECT_EQ(view->usageManager()->usedCalls.get(), 4);
    EXPECT_EQ(rig->sessionManager->errorMessage.get(), std::nullopt);
}

// Without a scheduler (the rig's own view) or when the menu was still connecting, nothing is held.
TEST_F(MenuOpening, AMenuStillConnectingIsNotHeld) {
    view->appear();
    EXPECT_TRUE(graces.empty());
    io.poll();
    EXPECT_EQ(menuLines(view->menu()), (Lines{"Connecting", "More", "Quit"}));
}

}  // namespace
