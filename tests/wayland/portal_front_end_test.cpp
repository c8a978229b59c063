// The shortcut layer on the portal backend against the system's xdg-desktop-portal front end,
// which reaches a desktop backend of the tests' own through a portal file.

#include <signal.h>

#include <boost/asio/steady_timer.hpp>

#include "wayland/portal_backend_double.hpp"
#include "wayland/portal_fixture.hpp"

namespace wayland_test {
namespace {

using namespace std::chrono_literals;
using GlobalShortcuts::Name;

class RealFrontEnd : public PortalLayerTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(bus.started()) << bus.log();
        ASSERT_TRUE(desktop.ready());
        frontEnd = std::make_unique<PortalFrontEnd>(bus.address(), folder.path() / "portal");
        if (!frontEnd->problem().empty()) GTEST_SKIP() << frontEnd->problem();
    }

    // The application's two names with their actions.
    void declareNames() {
        startSession = layer->name("startSession", controlP);
        endSession = layer->name("endSession", controlM);
        layer->onKeyDown(startSession, [this] { ++starts; });
        layer->onKeyUp(startSession, [this] { ++startReleases; });
        layer->onKeyDown(endSession, [this] { ++ends; });
    }
    bool boundTimes(std::size_t count) {
        return runUntil([&] { return desktop.bindings().size() >= count && backend->boundTriggers().size() == 2; });
    }

    PortalBackendDouble desktop{bus.address()};
    std::unique_ptr<PortalFrontEnd> frontEnd;
    Name startSession{"unused"};
    Name endSession{"unused"};
    int starts = 0;
    int startReleases = 0;
    int ends = 0;
};

TEST_F(RealFrontEnd, TheNamesInUseAreBoundOnceWithTheirCombinationsAndActivationsRunTheirActions) {
    startLayer();
    declareNames();
    ASSERT_TRUE(boundTimes(1)) << frontEnd->log();
    runFor(200ms);
    auto bindings = desktop.bindings();
    ASSERT_EQ(bindings.size(), 1u) << "both names are bound in one request";
    ASSERT_EQ(bindings[0].shortcuts.size(), 2u);
    EXPECT_EQ(bindings[0].shortcuts[0].id, "startSession");
    EXPECT_EQ(bindings[0].shortcuts[0].description, "Start Call");
    EXPECT_EQ(bindings[0].shortcuts[0].preferredTrigger, "CTRL+p");
    EXPECT_EQ(bindings[0].shortcuts[1].id, "endSession");
    EXPECT_EQ(bindings[0].shortcuts[1].preferredTrigger, "CTRL+m");
    EXPECT_EQ(layer->displayedShortcut("startSession"), "Ctrl+P");
    EXPECT_EQ(layer->displayedShortcut("endSession"), "Ctrl+M");

    desktop.activate("startSession");
    ASSERT_TRUE(runUntil([&] { return starts == 1; }));
    desktop.deactivate("startSession");
    ASSERT_TRUE(runUntil([&] { return startReleases == 1; }));
    desktop.activate("endSession");
    ASSERT_TRUE(runUntil([&] { return ends == 1; }));
    runFor(100ms);
    EXPECT_EQ(starts, 1);
    EXPECT_TRUE(lines.empty()) << lines.front();
    EXPECT_TRUE(fallback->held().empty());
}

TEST_F(RealFrontEnd, ATriggerTheUserChangesInTheDesktopIsWhatTheNameShows) {
    startLayer();
    declareNames();
    ASSERT_TRUE(boundTimes(1)) << frontEnd->log();
    changed.clear();
    desktop.changeTrigger("startSession", "Ctrl+Alt+K");
    ASSERT_TRUE(runUntil([&] { return layer->displayedShortcut("startSession") == "Ctrl+Alt+K"; }));
    EXPECT_EQ(changed, std::vector<std::string>{"startSession"});
    EXPECT_EQ(layer->displayedShortcut("endSession"), "Ctrl+M");
    // The stored combination stays what the user recorded; the desktop's trigger still starts.
    EXPECT_EQ(layer->getShortcut(startSession), controlP);
    desktop.activate("startSession");
    ASSERT_TRUE(runUntil([&] { return starts == 1; }));
    EXPECT_EQ(desktop.bindings().size(), 1u);
}

TEST_F(RealFrontEnd, ARefusedBindingIsToldOnceAndTheShortcutsShowUnbound) {
    desktop.setAnswer(PortalBackendDouble::Answer::refuse);
    startLayer();
    declareNames();
    ASSERT_TRUE(runUntil([&] { return lines.size() >= 2; })) << frontEnd->log();
    // A menu opening tries refused hot keys again: that asks the desktop nothing and says nothing.
    layer->retryRefusedHotKeys();
    notifications.post(GlobalShortcuts::menuDidBeginTrackingNotification);
    notifications.post(GlobalShortcuts::menuDidEndTrackingNotification);
    runFor(300ms);
    EXPECT_EQ(lines, (std::vector<std::string>{"Error registering hotkey \u2303P: -6", "Error registering hotkey \u2303M: -6"}));
    EXPECT_EQ(desktop.bindings().size(), 1u);
    EXPECT_EQ(layer->displayedShortcut("startSession"), "");
    EXPECT_EQ(layer->displayedShortcut("endSession"), "");
}

TEST_F(RealFrontEnd, WhileARecorderRecordsActivationsAreIgnoredAndARecordedCombinationIsBoundAgain) {
    startLayer();
    declareNames();
    ASSERT_TRUE(boundTimes(1)) << frontEnd->log();
    layer->recorderDidStart();
    desktop.activate("startSession");
    runFor(300ms);
    EXPECT_EQ(starts, 0);
    EXPECT_EQ(desktop.bindings().size(), 1u) << "recording unbinds nothing";

    // The recorder stores a new combination: bound again, in a new session.
    const GlobalShortcuts::Shortcut controlShiftK(GlobalShortcuts::Key::k,
                                                  {GlobalShortcuts::Modifier::control, GlobalShortcuts::Modifier::shift});
    layer->setShortcut(controlShiftK, startSession);
    layer->recorderDidEnd(true);
    ASSERT_TRUE(runUntil([&] { return desktop.bindings().size() == 2 && layer->displayedShortcut("startSession") == "Ctrl+Shift+K"; }))
        << frontEnd->log();
    auto rebound = desktop.bindings()[1];
    EXPECT_EQ(rebound.session, desktop.bindings()[0].session) << "every session has the app's one token";
    ASSERT_EQ(rebound.shortcuts.size(), 2u);
    EXPECT_EQ(rebound.shortcuts[0].preferredTrigger, "CTRL+SHIFT+k");
    EXPECT_TRUE(runUntil([&] { return desktop.closedSessions() == 1; })) << "the old session is closed";

    desktop.activate("startSession");
    ASSERT_TRUE(runUntil([&] { return starts == 1; }));
    EXPECT_TRUE(lines.empty()) << lines.front();
}

// The dialog is never answered: nothing is bound, and the application goes on as before.
TEST_F(RealFrontEnd, ADesktopThatNeverAnswersLeavesTheShortcutsUnboundAndTheLoopFree) {
    desktop.setAnswer(PortalBackendDouble::Answer::never);
    startLayer();
    declareNames();
    ASSERT_TRUE(runUntil([&] { return desktop.bindings().size() == 1; })) << frontEnd->log();
    boost::asio::steady_timer tick(io, 100ms);
    bool ticked = false;
    tick.async_wait([&](boost::system::error_code) { ticked = true; });
    ASSERT_TRUE(runUntil([&] { return ticked; }, 1s));
    EXPECT_EQ(layer->displayedShortcut("startSession"), "");
    desktop.activate("startSession");
    runFor(200ms);
    EXPECT_EQ(starts, 0);
}

// A front end that hangs answers no call: each times out, and that is told once.
TEST_F(RealFrontEnd, AFrontEndThatHangsIsToldOnceAfterTheTimeOut) {
    ::kill(frontEnd->program().pid(), SIGSTOP);
    startLayer(500ms);
    declareNames();
    boost::asio::steady_timer tick(io, 100ms);
    bool ticked = false;
    tick.async_wait([&](boost::system::error_code) { ticked = true; });
    ASSERT_TRUE(runUntil([&] { return ticked; }, 1s));
    EXPECT_EQ(backend->availability(), platform::PortalHotKeyBackend::Availability::probing);
    ::kill(frontEnd->program().pid(), SIGCONT);
    ASSERT_TRUE(runUntil([&] { return backend->boundTriggers().size() == 2; })) << frontEnd->log();

    ::kill(frontEnd->program().pid(), SIGSTOP);
    layer->setShortcut(GlobalShortcuts::Shortcut(GlobalShortcuts::Key::k, {GlobalShortcuts::Modifier::control}), startSession);
    ASSERT_TRUE(runUntil([&] { return lines.size() >= 2; }, 5s));
    runFor(700ms);
    ::kill(frontEnd->program().pid(), SIGCONT);
    EXPECT_EQ(lines, (std::vector<std::string>{"Error registering hotkey \u2303M: -7", "Error registering hotkey \u2303K: -7"}));
    EXPECT_EQ(layer->displayedShortcut("startSession"), "");
}

}  // namespace
}  // namespace wayland_test
